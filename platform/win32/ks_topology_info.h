#pragma once
// IKsTopologyInfo, declared here in vtable order because mingw-w64 ships no declaration of it.

#define NO_DSHOW_STRSAFE
#include <windows.h>
#include <dshow.h>
#include <ks.h>
#include <ksproxy.h>
#include "seams/platform_ids.h"

// The GUID lives in seams/platform_ids.h (IID_IKsTopologyInfo_); this is only the interface layout.
struct IKsTopologyInfo : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_NumCategories(DWORD* numCategories) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Category(DWORD index, GUID* category) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NumConnections(DWORD* numConnections) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ConnectionInfo(DWORD index,
                                                       KSTOPOLOGY_CONNECTION* info) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NodeName(DWORD node, WCHAR* name, DWORD bufSize,
                                                 DWORD* nameLen) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NumNodes(DWORD* numNodes) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NodeType(DWORD node, GUID* nodeType) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateNodeInstance(DWORD node, REFIID iid, void** object) = 0;
};
