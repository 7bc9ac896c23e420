// A static text control that behaves like a link in a web page: underlined, blue until used and
// purple after a successful open, the hand cursor over it, opened through the shell with a click.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "dialog/subclassed_control.h"
#include "platform/handles_win.h"

namespace pv {

// What a link opens. OpenLink answers the shell's result: greater than 32 means success.
class CLinkTarget {
public:
    explicit CLinkTarget(std::string target = {}) : m_strTarget(std::move(target)) {}
    virtual ~CLinkTarget() = default;

    const std::string& Target() const { return m_strTarget; }
    void SetTarget(std::string target) { m_strTarget = std::move(target); }

    // ShellExecuteA "open" of the target (no owner, no parameters, SW_SHOWNORMAL);
    // 0 without calling the shell when the target is empty.
    virtual INT_PTR OpenLink() const;

private:
    std::string m_strTarget;
};

class CStaticHyperLink : public CSubclassedControl {
public:
    static constexpr COLORREF kUnvisited = 0x00FF0000; // blue
    static constexpr COLORREF kVisited = 0x00800080;   // purple

    explicit CStaticHyperLink(const char* target = nullptr);
    ~CStaticHyperLink() override;

    void SetLinkTarget(const char* target);
    const std::string& LinkTarget() const { return m_pTarget->Target(); }
    INT_PTR OpenLink() const { return m_pTarget->OpenLink(); }
    // Replaces what opening the link does (the target text moves over to the new object).
    void SetTargetObject(std::unique_ptr<CLinkTarget> target);

    COLORREF CurrentColour() const { return m_crText; }

protected:
    bool OnControlMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    bool OnReflected(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    LRESULT OnNcHitTest(WPARAM, LPARAM);
    LRESULT OnSetCursor(WPARAM, LPARAM);
    LRESULT OnLButtonDown(WPARAM, LPARAM);
    LRESULT OnCtlColor(WPARAM, LPARAM);

    std::unique_ptr<CLinkTarget> m_pTarget;
    COLORREF m_crText = kUnvisited;
    GdiObject<HFONT> m_fontUnderline;
    HFONT m_fontOriginal = nullptr; // the control's font before the link made it underlined
};

} // namespace pv
