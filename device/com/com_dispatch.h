#pragma once

// The card maker's device control through COM: the thread's apartment, and Dispatch calls made
// through the control's IDispatch. Windows only; needs no Windows header of its own.

#include "automation/dispatch.h"
#include "com/com_ptr.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>

struct IDispatch;
struct IUnknown;

namespace velmora {

// COM on the calling thread, as a single-threaded apartment: controls with a user interface
// expect one. Make it first and destroy it last, on the GUI thread, so that every COM object
// the program holds is released before COM is shut down; declaring it before them in the same
// scope or class does exactly that.
class ComApartment final {
public:
    ComApartment();
    ~ComApartment();
    ComApartment(const ComApartment &) = delete;
    ComApartment &operator=(const ComApartment &) = delete;

    // True where COM can be used on this thread: initialised here, already initialised as an
    // apartment (Qt may have done it first), or already joined to the multithreaded apartment
    // by someone else, which we tolerate.
    bool usable() const noexcept;
    // Why it cannot be used, where it cannot.
    DispatchStatus status() const;

private:
    std::int32_t m_result; // CoInitializeEx's answer
    bool m_mustUninitialize;
};

// A device control reached through its IDispatch, by dispatch identifier only. Use it on the
// thread that created or received the interface.
class ComDispatch final : public Dispatch {
public:
    // Shares `dispatch`: takes a reference of its own, so a caller that got the pointer from
    // QueryInterface (QAxWidget::queryInterface included) still releases theirs. A null pointer
    // gives a control whose every call fails with 91.
    explicit ComDispatch(IDispatch *dispatch);
    ~ComDispatch() override;
    ComDispatch(const ComDispatch &) = delete;
    ComDispatch &operator=(const ComDispatch &) = delete;

    // IDispatch::Invoke with DISPATCH_METHOD | DISPATCH_PROPERTYGET and the arguments as
    // positional VARIANTs; never looks a name up. Fails as the control or COM reports.
    DispatchOutcome invoke(DispatchId id, std::span<const AutomationValue> args) override;

    IDispatch *get() const noexcept { return m_dispatch.get(); }

private:
    ComPtr<IDispatch> m_dispatch;
};

struct ComCreation {
    std::unique_ptr<ComDispatch> control; // null where creation failed
    DispatchStatus status;                // why it failed
};

// Creates the control registered as `progId` (in process or in its own server). A ProgID or
// class that is not registered fails with 429 "ActiveX component can't create object", as does
// every other creation failure (with the system's words) but refused access, which is 70. Needs
// COM on the calling thread (ComApartment).
ComCreation createComDispatch(const std::wstring &progId);

// A binding of its own to `dispatch`; fails with 7 "Out of memory" rather than throwing.
ComCreation bindDispatch(const ComPtr<IDispatch> &dispatch) noexcept;

// Binds a control someone else created and hosts (QAxWidget), from the reference its host handed
// out (QueryInterface's, for any interface). Takes that reference over at once, so it is released
// on every way out, a failed one included; the binding keeps a reference of its own. Fails with
// 430 where the control has no IDispatch.
ComCreation adoptHostedControl(IUnknown *control) noexcept;

} // namespace velmora
