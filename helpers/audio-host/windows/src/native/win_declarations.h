// The Windows headers the host needs, plus the few definitions that
// mingw-w64 10 lacks (process-loopback activation parameters, the restricted
// error object, weak references). They are declared in our own namespace so
// that they never clash with a Windows SDK that has them too.
#pragma once

#include <windows.h>
// windows.h first: the COM and audio headers build on it.
#include <audioclient.h>
#include <inspectable.h>
#include <mmdeviceapi.h>
#include <objbase.h>
#include <objidl.h>
#include <tlhelp32.h>

#include <cstdint>

namespace audio_host::win {

// audioclientactivationparams.h
inline constexpr DWORD kActivationTypeProcessLoopback = 1;
enum : DWORD {
  kLoopbackIncludeTargetProcessTree = 0,
  kLoopbackExcludeTargetProcessTree = 1,
};
struct AudioClientProcessLoopbackParams {
  DWORD TargetProcessId;
  DWORD ProcessLoopbackMode;
};
struct AudioClientActivationParams {
  DWORD ActivationType;
  AudioClientProcessLoopbackParams ProcessLoopbackParams;
};
static_assert(sizeof(AudioClientActivationParams) == 12, "three 32-bit fields");
static_assert(alignof(AudioClientActivationParams) == 4);

inline constexpr wchar_t kProcessLoopbackDevicePath[] = L"VAD\\Process_Loopback";

inline constexpr GUID kIidAudioClient = {
    0x1CB9AD4C, 0xDBFA, 0x4C32, {0xB1, 0x78, 0xC2, 0xF5, 0x68, 0xA7, 0x03, 0xB2}};
inline constexpr GUID kIidAudioCaptureClient = {
    0xC8ADBD64, 0xE71E, 0x48A0, {0xA4, 0xDE, 0x18, 0x5C, 0x39, 0x5C, 0xD3, 0x17}};
inline constexpr GUID kIidActivateAudioInterfaceCompletionHandler = {
    0x41D949AB, 0x9862, 0x444A, {0x80, 0xF6, 0xC2, 0x61, 0x33, 0x4D, 0xA5, 0xEB}};
inline constexpr GUID kIidActivateAudioInterfaceAsyncOperation = {
    0x72A22D78, 0xCDE4, 0x431D, {0xB8, 0xCC, 0x84, 0x3A, 0x71, 0x19, 0x9B, 0x6D}};
inline constexpr GUID kIidInspectable = {
    0xAF86E2E0, 0xB12D, 0x4C6A, {0x9C, 0x5A, 0xD7, 0xAA, 0x65, 0x10, 0x1E, 0x90}};
inline constexpr GUID kIidAgileObject = {
    0x94EA2B94, 0xE9CC, 0x49E0, {0xC0, 0xFF, 0xEE, 0x64, 0xCA, 0x8F, 0x5B, 0x90}};
inline constexpr GUID kIidMarshal = {
    0x00000003, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// restrictederrorinfo.h
inline constexpr GUID kIidRestrictedErrorInfo = {
    0x82BA7092, 0x4C88, 0x427D, {0xA7, 0xBC, 0x16, 0xDD, 0x93, 0xFE, 0xB6, 0x7E}};
struct IRestrictedErrorInfo : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetErrorDetails(BSTR* description, HRESULT* error,
                                                    BSTR* restricted_description,
                                                    BSTR* capability_sid) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetReference(BSTR* reference) = 0;
};

// weakreference.h
inline constexpr GUID kIidWeakReference = {
    0x00000037, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID kIidWeakReferenceSource = {
    0x00000038, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
struct IWeakReference : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Resolve(REFIID riid, IInspectable** object) = 0;
};
struct IWeakReferenceSource : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetWeakReference(IWeakReference** weak_reference) = 0;
};

}  // namespace audio_host::win
