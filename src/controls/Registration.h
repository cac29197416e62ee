#pragma once
// Registration of the two classes, their ProgIDs and interfaces (the REGISTRY resources 101 and 102 run
// through the system's registrar with %MODULE% = the module path) and of the embedded type library.
#include <windows.h>

namespace kesi::controls {

// Resource ids of the registration scripts.
constexpr UINT kInstallerRegistryResource = 101;
constexpr UINT kInterrogatorRegistryResource = 102;

// Registers (or, with install false, unregisters) what the module's scripts and type library describe.
// The HRESULT of the first failing registry or type-library call.
HRESULT RegisterControls(bool install);

// The class factory of either class (CLASS_E_CLASSNOTAVAILABLE for any other).
HRESULT GetControlsClassObject(REFCLSID clsid, REFIID riid, void** out);

}  // namespace kesi::controls
