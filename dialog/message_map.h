// Per-class message maps: a small table of member-function handlers keyed by message, control id
// and notification code, built once per class and searched in order.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <vector>

namespace pv {

template <class T>
class MessageMap {
public:
    // WM_COMMAND from control `id` with notification `code` (BN_CLICKED, EN_CHANGE, ...).
    using CommandFn = void (T::*)();
    // WM_NOTIFY from control `id` with notification `code`; the return value is the result.
    using NotifyFn = LRESULT (T::*)(NMHDR*);
    // Any other message, or a notification the parent reflected back to a control.
    using MessageFn = LRESULT (T::*)(WPARAM, LPARAM);

    MessageMap& Command(int id, UINT code, CommandFn fn) {
        m_entries.push_back(Entry{Kind::Command, WM_COMMAND, id, code, fn, nullptr, nullptr});
        return *this;
    }
    MessageMap& Notify(int id, UINT code, NotifyFn fn) {
        m_entries.push_back(Entry{Kind::Notify, WM_NOTIFY, id, code, nullptr, fn, nullptr});
        return *this;
    }
    MessageMap& Message(UINT message, MessageFn fn) {
        m_entries.push_back(Entry{Kind::Message, message, 0, 0, nullptr, nullptr, fn});
        return *this;
    }
    MessageMap& Reflected(UINT message, MessageFn fn) {
        m_entries.push_back(Entry{Kind::Reflected, message, 0, 0, nullptr, nullptr, fn});
        return *this;
    }

    // Runs the first matching handler; false when none matches (the caller's default applies).
    bool Dispatch(T& self, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) const {
        return Find(self, message, wParam, lParam, result, false);
    }
    bool DispatchReflected(T& self, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) const {
        return Find(self, message, wParam, lParam, result, true);
    }

private:
    enum class Kind { Command, Notify, Message, Reflected };
    struct Entry {
        Kind kind;
        UINT message;
        int id;
        UINT code;
        CommandFn command;
        NotifyFn notify;
        MessageFn handler;
    };

    bool Find(T& self, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result, bool reflected) const {
        for (const Entry& e : m_entries) {
            if (e.message != message) continue;
            if ((e.kind == Kind::Reflected) != reflected) continue;
            switch (e.kind) {
            case Kind::Command:
                if (LOWORD(wParam) != static_cast<WORD>(e.id) || HIWORD(wParam) != e.code) continue;
                (self.*e.command)();
                result = 0;
                return true;
            case Kind::Notify: {
                auto* hdr = reinterpret_cast<NMHDR*>(lParam);
                if (!hdr || hdr->idFrom != static_cast<UINT_PTR>(e.id) || hdr->code != e.code) continue;
                result = (self.*e.notify)(hdr);
                return true;
            }
            case Kind::Message:
            case Kind::Reflected:
                result = (self.*e.handler)(wParam, lParam);
                return true;
            }
        }
        return false;
    }

    std::vector<Entry> m_entries;
};

} // namespace pv
