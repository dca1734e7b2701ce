#pragma once

// Our own test control: an in-process COM server that records what each call brings and
// answers as the test scripts it. Shared by the server and the tests.

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>

namespace velmora::wintest {

inline constexpr wchar_t TestControlProgId[] = L"Velmora.TestControl";
inline constexpr wchar_t TestControlClsid[] = L"{7C5969D6-9B9A-441C-A2A9-3950408705B9}";
inline constexpr wchar_t TestControlDll[] = L"velmora_testcontrol.dll";

// A ProgID whose CLSID has no server registered, one whose server file is missing, and one that
// is not registered at all.
inline constexpr wchar_t UnregisteredClassProgId[] = L"Velmora.UnregisteredClass";
inline constexpr wchar_t MissingServerProgId[] = L"Velmora.MissingServer";
inline constexpr wchar_t MissingServerFile[] = L"C:\\velmora-nowhere\\missing_control.ocx";
inline constexpr wchar_t MissingProgId[] = L"Velmora.NoSuchControl";

// Beside the device control's own identifiers (25, 17, 16):
inline constexpr DISPID ScriptId = 1000;   // one VT_BSTR command; see test_control.cpp
inline constexpr DISPID LastCallId = 1001; // VT_BSTR: the last recorded call
inline constexpr DISPID EchoId = 1002;     // any arguments, recorded and answered as scripted
// One VT_DISPATCH argument: called (DISPID_VALUE, no arguments) once, from inside the next
// recorded call, before that call answers; as a control's modal dialog lets other events run.
inline constexpr DISPID CallbackId = 1003;

// Counted since the server was loaded.
struct TestControlStats {
    LONG liveObjects;
    LONG serverLocks;
    LONG idsOfNamesCalls;
    LONG typeInfoCalls;
    LONG recordedCalls;
    LONG defaultValueCalls; // DISPID_VALUE read as a property
    LONG freedDuringCall;   // objects whose last reference went while their own call ran
};

inline constexpr char TestControlStatsExport[] = "VelmoraTestControlStats";
using TestControlStatsFunction = void(WINAPI *)(TestControlStats *);

} // namespace velmora::wintest
