#include "platform/win32/win32_media_capture.h"

#include <cstring>

#include "platform/win32/ks_topology_info.h"
#include "seams/platform_ids.h"

namespace {

// McObject is never defined: every handle the seam hands out is a COM interface pointer.
template <typename I>
I* As(McObject* object) {
  return reinterpret_cast<I*>(object);
}

template <typename I>
McObject* Handle(I* object) {
  return reinterpret_cast<McObject*>(object);
}

GUID ToGuid(const Guid& guid) {
  GUID out;
  static_assert(sizeof(out) == sizeof(guid));
  std::memcpy(&out, &guid, sizeof(out));
  return out;
}

HResult CoInitializeOp() {
  return CoInitialize(nullptr);
}

void CoUninitializeOp() {
  CoUninitialize();
}

HResult CreateDeviceEnumerator(McObject** devEnum) {
  const GUID clsid = ToGuid(CLSID_SystemDeviceEnum_);
  const GUID iid = ToGuid(IID_ICreateDevEnum_);
  void* out = nullptr;
  const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, &out);
  *devEnum = Handle(static_cast<IUnknown*>(out));
  return hr;
}

HResult CreateClassEnumerator(McObject* devEnum, const Guid& category, McObject** enumMoniker,
                              std::uint32_t flags) {
  const GUID cat = ToGuid(category);
  IEnumMoniker* out = nullptr;
  const HRESULT hr = As<ICreateDevEnum>(devEnum)->CreateClassEnumerator(cat, &out, flags);
  *enumMoniker = Handle(out);
  return hr;
}

HResult EnumReset(McObject* enumMoniker) {
  return As<IEnumMoniker>(enumMoniker)->Reset();
}

HResult EnumNext(McObject* enumMoniker, McObject** moniker) {
  IMoniker* out = nullptr;
  const HRESULT hr = As<IEnumMoniker>(enumMoniker)->Next(1, &out, nullptr);
  *moniker = Handle(out);
  return hr;
}

HResult BindToStorage(McObject* moniker, McObject** propertyBag) {
  const GUID iid = ToGuid(IID_IPropertyBag_);
  void* out = nullptr;
  const HRESULT hr = As<IMoniker>(moniker)->BindToStorage(nullptr, nullptr, iid, &out);
  *propertyBag = Handle(static_cast<IUnknown*>(out));
  return hr;
}

HResult ReadStringProperty(McObject* propertyBag, const char16_t* name, char16_t** value) {
  static_assert(sizeof(wchar_t) == sizeof(char16_t));
  VARIANT var;
  VariantInit(&var);
  var.vt = VT_BSTR;
  var.bstrVal = nullptr;  // VariantInit leaves it as it was; a failed read must not free garbage
  const HRESULT hr =
      As<IPropertyBag>(propertyBag)->Read(reinterpret_cast<LPCOLESTR>(name), &var, nullptr);
  if (hr == S_OK && var.vt == VT_BSTR) {
    *value = reinterpret_cast<char16_t*>(var.bstrVal);
    return hr;
  }
  VariantClear(&var);
  *value = nullptr;
  return hr == S_OK ? E_FAIL : hr;
}

void FreeString(char16_t* value) {
  SysFreeString(reinterpret_cast<BSTR>(value));
}

HResult BindToObject(McObject* moniker, McObject** filter) {
  const GUID iid = ToGuid(IID_IBaseFilter_);
  void* out = nullptr;
  const HRESULT hr = As<IMoniker>(moniker)->BindToObject(nullptr, nullptr, iid, &out);
  *filter = Handle(static_cast<IUnknown*>(out));
  return hr;
}

HResult QueryInterfaceOp(McObject* object, const Guid& iid, McObject** out) {
  const GUID id = ToGuid(iid);
  void* result = nullptr;
  const HRESULT hr = As<IUnknown>(object)->QueryInterface(id, &result);
  *out = Handle(static_cast<IUnknown*>(result));
  return hr;
}

HResult GetNumNodes(McObject* topology, std::uint32_t* count) {
  DWORD n = 0;
  const HRESULT hr = As<IKsTopologyInfo>(topology)->get_NumNodes(&n);
  *count = n;
  return hr;
}

HResult GetNodeType(McObject* topology, std::uint32_t index, Guid* type) {
  GUID out{};
  const HRESULT hr = As<IKsTopologyInfo>(topology)->get_NodeType(index, &out);
  std::memcpy(type, &out, sizeof(out));
  return hr;
}

HResult CreateNodeInstance(McObject* topology, std::uint32_t index, const Guid& iid,
                           McObject** control) {
  const GUID id = ToGuid(iid);
  void* out = nullptr;
  const HRESULT hr = As<IKsTopologyInfo>(topology)->CreateNodeInstance(index, id, &out);
  *control = Handle(static_cast<IUnknown*>(out));
  return hr;
}

HResult KsPropertyOp(McObject* control, void* property, std::uint32_t propertyLength, void* data,
                     std::uint32_t dataLength, std::uint32_t* bytesReturned) {
  ULONG returned = 0;
  const HRESULT hr = As<IKsControl>(control)->KsProperty(
      static_cast<PKSPROPERTY>(property), propertyLength, data, dataLength, &returned);
  if (bytesReturned != nullptr) {
    *bytesReturned = returned;
  }
  return hr;
}

std::uint32_t ReleaseOp(McObject* object) {
  return As<IUnknown>(object)->Release();
}

void SleepOp(std::uint32_t milliseconds) {
  Sleep(milliseconds);
}

const MediaCaptureOps win32Ops{
    .coInitialize = CoInitializeOp,
    .coUninitialize = CoUninitializeOp,
    .createDeviceEnumerator = CreateDeviceEnumerator,
    .createClassEnumerator = CreateClassEnumerator,
    .enumReset = EnumReset,
    .enumNext = EnumNext,
    .bindToStorage = BindToStorage,
    .readStringProperty = ReadStringProperty,
    .freeString = FreeString,
    .bindToObject = BindToObject,
    .queryInterface = QueryInterfaceOp,
    .getNumNodes = GetNumNodes,
    .getNodeType = GetNodeType,
    .createNodeInstance = CreateNodeInstance,
    .ksProperty = KsPropertyOp,
    .release = ReleaseOp,
    .sleep = SleepOp,
};

}  // namespace

const MediaCaptureOps* Win32MediaCaptureOps() {
  return &win32Ops;
}
