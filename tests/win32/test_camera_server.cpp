// A COM server that Wine's device enumerator lists as a video-input device: the simulated camera
// behind a capture filter with IBaseFilter, IKsTopologyInfo and IKsControl, so the unchanged
// product reaches it through real COM and DirectShow calls. Every call goes to the simulator's
// capture framework, which keeps the camera, its faults and its request rules.
//
// Environment: REFLASH_FIXTURE_CAMERA (normal | erase-fail | no-xu-node), REFLASH_FIXTURE_FLASH_OUT
// (file that receives the simulated flash), REFLASH_FIXTURE_TRACE (request trace file).

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/sim/capture_framework.h"
#include "platform/win32/ks_topology_info.h"
#include "tests/win32/test_camera_scenario.h"
#include "seams/platform_ids.h"

namespace {

// Never destroyed: the camera outlives every filter, as a real camera outlives its driver.
sim::CaptureFramework* framework = nullptr;
std::string flashOutPath;

Guid FromGuid(REFGUID guid) {
  Guid out;
  std::memcpy(&out, &guid, sizeof(out));
  return out;
}

// The simulator counts apartments per thread; each call stands inside one.
class SimApartment {
 public:
  SimApartment() { framework->emulation().coInitialize(); }
  ~SimApartment() { framework->emulation().coUninitialize(); }
  SimApartment(const SimApartment&) = delete;
  SimApartment& operator=(const SimApartment&) = delete;
};

// A property request of either control interface, served by the simulated framework.
HRESULT ForwardKsProperty(McObject* control, PKSPROPERTY property, ULONG propertyLength,
                          LPVOID data, ULONG dataLength, ULONG* bytesReturned) {
  SimApartment apartment;
  std::uint32_t returned = 0;
  const HRESULT hr = framework->emulation().ksProperty(control, property, propertyLength, data,
                                                       dataLength, &returned);
  if (bytesReturned != nullptr) {
    *bytesReturned = returned;
  }
  return hr;
}

void WriteFlashOut() {
  if (flashOutPath.empty() || framework == nullptr) {
    return;
  }
  sim::Camera* camera = framework->firstCamera();
  if (camera == nullptr) {
    return;
  }
  const auto& contents = camera->flash().contents();
  std::ofstream out(flashOutPath, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(contents.data()),
            static_cast<std::streamsize>(contents.size()));
}

const char* EnvOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : fallback;
}

// The simulated camera is made once per process and kept; COM may unload and reload this DLL
// between steps, so the module pins itself first.
bool StartCamera() {
  if (framework != nullptr) {
    return true;
  }
  HMODULE pinned = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&StartCamera), &pinned);
  framework = new sim::CaptureFramework();
  framework->clock().setMode(sim::ClockMode::real);
  if (!AddScenarioDevice(*framework, EnvOr("REFLASH_FIXTURE_CAMERA", "normal"))) {
    return false;
  }
  flashOutPath = EnvOr("REFLASH_FIXTURE_FLASH_OUT", "");
  const std::string trace = EnvOr("REFLASH_FIXTURE_TRACE", "");
  if (!trace.empty()) {
    framework->traceToFile(trace);
  }
  WriteFlashOut();
  return true;
}

// Drops one simulator reference, if any.
void ReleaseSim(McObject*& object) {
  if (object != nullptr) {
    framework->emulation().release(object);
    object = nullptr;
  }
}

// A node's control interface, created by IKsTopologyInfo::CreateNodeInstance.
class NodeControl final : public IKsControl {
 public:
  explicit NodeControl(McObject* control) : control_(control) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) {
      return E_POINTER;
    }
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IKsControl)) {
      *out = static_cast<IKsControl*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) {
      SimApartment apartment;
      ReleaseSim(control_);
      delete this;
    }
    return left;
  }

  HRESULT STDMETHODCALLTYPE KsProperty(PKSPROPERTY property, ULONG propertyLength, LPVOID data,
                                       ULONG dataLength, ULONG* bytesReturned) override {
    return ForwardKsProperty(control_, property, propertyLength, data, dataLength, bytesReturned);
  }
  HRESULT STDMETHODCALLTYPE KsMethod(PKSMETHOD, ULONG, LPVOID, ULONG, ULONG*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE KsEvent(PKSEVENT, ULONG, LPVOID, ULONG, ULONG*) override {
    return E_NOTIMPL;
  }

 private:
  ~NodeControl() = default;
  LONG refs_ = 1;
  McObject* control_;
};

// The capture filter of the simulated camera.
class Filter final : public IBaseFilter, public IKsTopologyInfo, public IKsControl {
 public:
  explicit Filter(McObject* filter) : filter_(filter) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) {
      return E_POINTER;
    }
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IPersist) ||
        IsEqualIID(iid, IID_IMediaFilter) || IsEqualIID(iid, IID_IBaseFilter)) {
      *out = static_cast<IBaseFilter*>(this);
    } else if (IsEqualIID(iid, reinterpret_cast<const GUID&>(IID_IKsTopologyInfo_))) {
      if (!Acquire(topology_, iid)) {
        return E_NOINTERFACE;
      }
      *out = static_cast<IKsTopologyInfo*>(this);
    } else if (IsEqualIID(iid, IID_IKsControl)) {
      if (!Acquire(control_, iid)) {
        return E_NOINTERFACE;
      }
      *out = static_cast<IKsControl*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) {
      {
        SimApartment apartment;
        ReleaseSim(control_);
        ReleaseSim(topology_);
        ReleaseSim(filter_);
      }
      // Each close of the camera leaves the flash on disk as it is now.
      WriteFlashOut();
      delete this;
    }
    return left;
  }

  // IPersist, IMediaFilter, IBaseFilter: a filter that never streams.
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override {
    if (clsid == nullptr) {
      return E_POINTER;
    }
    *clsid = TestCameraClsid;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Stop() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Pause() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetState(DWORD, FILTER_STATE* state) override {
    if (state == nullptr) {
      return E_POINTER;
    }
    *state = State_Stopped;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock** clock) override {
    if (clock == nullptr) {
      return E_POINTER;
    }
    *clock = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins** pins) override {
    if (pins != nullptr) {
      *pins = nullptr;
    }
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR, IPin** pin) override {
    if (pin != nullptr) {
      *pin = nullptr;
    }
    return VFW_E_NOT_FOUND;
  }
  HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO* info) override {
    if (info == nullptr) {
      return E_POINTER;
    }
    std::memset(info, 0, sizeof(*info));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph*, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR* info) override {
    if (info != nullptr) {
      *info = nullptr;
    }
    return E_NOTIMPL;
  }

  // IKsTopologyInfo: the simulated topology; only the calls the product makes are served.
  HRESULT STDMETHODCALLTYPE get_NumCategories(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Category(DWORD, GUID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_NumConnections(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ConnectionInfo(DWORD, KSTOPOLOGY_CONNECTION*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_NodeName(DWORD, WCHAR*, DWORD, DWORD*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_NumNodes(DWORD* count) override {
    if (count == nullptr) {
      return E_POINTER;
    }
    SimApartment apartment;
    std::uint32_t n = 0;
    const HRESULT hr = framework->emulation().getNumNodes(topology_, &n);
    *count = n;
    return hr;
  }
  HRESULT STDMETHODCALLTYPE get_NodeType(DWORD node, GUID* type) override {
    if (type == nullptr) {
      return E_POINTER;
    }
    SimApartment apartment;
    Guid out{};
    const HRESULT hr = framework->emulation().getNodeType(topology_, node, &out);
    std::memcpy(type, &out, sizeof(out));
    return hr;
  }
  HRESULT STDMETHODCALLTYPE CreateNodeInstance(DWORD node, REFIID iid, void** object) override {
    if (object == nullptr) {
      return E_POINTER;
    }
    *object = nullptr;
    SimApartment apartment;
    McObject* control = nullptr;
    const HRESULT hr =
        framework->emulation().createNodeInstance(topology_, node, FromGuid(iid), &control);
    if (hr < 0 || control == nullptr) {
      return hr < 0 ? hr : E_FAIL;
    }
    auto* wrapper = new NodeControl(control);
    const HRESULT qi = wrapper->QueryInterface(iid, object);
    wrapper->Release();
    return qi;
  }

  // IKsControl on the filter: requests addressed to a node by the header's node id.
  HRESULT STDMETHODCALLTYPE KsProperty(PKSPROPERTY property, ULONG propertyLength, LPVOID data,
                                       ULONG dataLength, ULONG* bytesReturned) override {
    return ForwardKsProperty(control_, property, propertyLength, data, dataLength, bytesReturned);
  }
  HRESULT STDMETHODCALLTYPE KsMethod(PKSMETHOD, ULONG, LPVOID, ULONG, ULONG*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE KsEvent(PKSEVENT, ULONG, LPVOID, ULONG, ULONG*) override {
    return E_NOTIMPL;
  }

 private:
  ~Filter() = default;

  // Asks the simulated filter for an interface once; later asks reuse it.
  bool Acquire(McObject*& held, REFIID iid) {
    if (held != nullptr) {
      return true;
    }
    SimApartment apartment;
    return framework->emulation().queryInterface(filter_, FromGuid(iid), &held) == McOk &&
           held != nullptr;
  }

  LONG refs_ = 1;
  McObject* filter_;
  McObject* topology_ = nullptr;
  McObject* control_ = nullptr;
};

// Binds the simulated camera's filter the way the simulator's own enumeration does, which also
// brings a camera back that dropped off after a reset.
HRESULT BindSimFilter(McObject** filter) {
  SimApartment apartment;
  McObject* devEnum = nullptr;
  McObject* classEnum = nullptr;
  McObject* moniker = nullptr;
  HRESULT hr = framework->emulation().createDeviceEnumerator(&devEnum);
  if (hr == McOk) {
    hr = framework->emulation().createClassEnumerator(devEnum, CLSID_VideoInputDeviceCategory_,
                                                      &classEnum, 0);
  }
  if (hr == McOk) {
    hr = framework->emulation().enumNext(classEnum, &moniker);
  }
  if (hr == McOk) {
    hr = framework->emulation().bindToObject(moniker, filter);
  }
  ReleaseSim(moniker);
  ReleaseSim(classEnum);
  ReleaseSim(devEnum);
  return hr == McOk ? S_OK : (hr < 0 ? hr : E_FAIL);
}

class ClassFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) {
      return E_POINTER;
    }
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  // One static factory that lives as long as the (pinned) module.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr) {
      return E_POINTER;
    }
    *out = nullptr;
    if (outer != nullptr) {
      return CLASS_E_NOAGGREGATION;
    }
    McObject* simFilter = nullptr;
    const HRESULT hr = BindSimFilter(&simFilter);
    if (hr != S_OK) {
      return hr;
    }
    auto* filter = new Filter(simFilter);
    const HRESULT qi = filter->QueryInterface(iid, out);
    static_cast<IBaseFilter*>(filter)->Release();
    return qi;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

ClassFactory factory;

}  // namespace

extern "C" HRESULT WINAPI TestCameraGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) {
    return E_POINTER;
  }
  *out = nullptr;
  if (!IsEqualCLSID(clsid, TestCameraClsid)) {
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  if (!StartCamera()) {
    return E_FAIL;
  }
  return factory.QueryInterface(iid, out);
}

// The module is pinned, so it is never unloaded.
extern "C" HRESULT WINAPI TestCameraCanUnloadNow() {
  return S_FALSE;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(module);
  } else if (reason == DLL_PROCESS_DETACH) {
    WriteFlashOut();
  }
  return TRUE;
}
