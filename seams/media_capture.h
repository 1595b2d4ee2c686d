#pragma once
// The media-capture seam: the platform calls (COM apartment, device enumeration, capture filter,
// kernel-streaming topology and property requests) that the camera layer is written against.

#include <cstdint>

#include "seams/guid.h"

// Result codes keep the platform's HRESULT convention: negative is failure, 0 is S_OK.
using HResult = std::int32_t;
inline constexpr HResult McOk = 0;
inline constexpr HResult McFalse = 1;
inline constexpr HResult McFail = static_cast<HResult>(0x80004005u);
inline constexpr HResult McNoInterface = static_cast<HResult>(0x80004002u);
inline constexpr HResult McNotFound = static_cast<HResult>(0x80070490u);
// The device-removal errors a property request ends with once the camera has left the bus
// (ERROR_DEVICE_NOT_CONNECTED, ERROR_DEVICE_REMOVED, ERROR_NO_SUCH_DEVICE, ERROR_DEV_NOT_EXIST as
// HRESULTs). A platform that learns of a removal its own way reports it as the first.
inline constexpr HResult McDeviceNotConnected = static_cast<HResult>(0x8007048Fu);
inline constexpr HResult McDeviceRemoved = static_cast<HResult>(0x80070651u);
inline constexpr HResult McNoSuchDevice = static_cast<HResult>(0x800701B1u);
inline constexpr HResult McDevNotExist = static_cast<HResult>(0x80070037u);

constexpr bool McIsDeviceRemoved(HResult result) {
  return result == McDeviceNotConnected || result == McDeviceRemoved || result == McNoSuchDevice ||
         result == McDevNotExist;
}

// One reference on a platform object (enumerator, moniker, property bag, filter, topology or
// control interface). Every reference handed out by the seam is dropped with `release`.
struct McObject;

// KSPROPERTY flags as they appear in a request header.
inline constexpr std::uint32_t KsPropertyTypeGet = 0x00000001;
inline constexpr std::uint32_t KsPropertyTypeSet = 0x00000002;
inline constexpr std::uint32_t KsPropertyTypeSetSupport = 0x00000100;
inline constexpr std::uint32_t KsPropertyTypeTopology = 0x10000000;

struct MediaCaptureOps {
  // CoInitialize(nullptr) / CoUninitialize().
  HResult (*coInitialize)();
  void (*coUninitialize)();
  // CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum).
  HResult (*createDeviceEnumerator)(McObject** devEnum);
  // ICreateDevEnum::CreateClassEnumerator(category, out, flags).
  HResult (*createClassEnumerator)(McObject* devEnum, const Guid& category, McObject** enumMoniker,
                                   std::uint32_t flags);
  HResult (*enumReset)(McObject* enumMoniker);
  // IEnumMoniker::Next for one moniker.
  HResult (*enumNext)(McObject* enumMoniker, McObject** moniker);
  // IMoniker::BindToStorage(nullptr, nullptr, IID_IPropertyBag).
  HResult (*bindToStorage)(McObject* moniker, McObject** propertyBag);
  // IPropertyBag::Read of a VT_BSTR property; the string is freed with `freeString`.
  HResult (*readStringProperty)(McObject* propertyBag, const char16_t* name, char16_t** value);
  void (*freeString)(char16_t* value);
  // IMoniker::BindToObject(nullptr, nullptr, IID_IBaseFilter).
  HResult (*bindToObject)(McObject* moniker, McObject** filter);
  // IUnknown::QueryInterface.
  HResult (*queryInterface)(McObject* object, const Guid& iid, McObject** out);
  // IKsTopologyInfo.
  HResult (*getNumNodes)(McObject* topology, std::uint32_t* count);
  HResult (*getNodeType)(McObject* topology, std::uint32_t index, Guid* type);
  HResult (*createNodeInstance)(McObject* topology, std::uint32_t index, const Guid& iid,
                                McObject** control);
  // IKsControl::KsProperty.
  HResult (*ksProperty)(McObject* control, void* property, std::uint32_t propertyLength, void* data,
                        std::uint32_t dataLength, std::uint32_t* bytesReturned);
  // IUnknown::Release.
  std::uint32_t (*release)(McObject* object);
  // Sleep(ms): the flash waits poll with 1 ms sleeps.
  void (*sleep)(std::uint32_t milliseconds);
};

// Installed once at start-up by the platform; the camera layer reads it on every platform call.
void CamInstallMediaCapture(const MediaCaptureOps* ops);
const MediaCaptureOps* CamMediaCapture();
