#pragma once

// A small dialog layer of our own over the Win32 dialog manager: a modal dialog with a table
// of message handlers, thin control wrappers and an application object with a start-up hook.

#include <windows.h>

#include <span>
#include <string>

// ---------------------------------------------------------------------------------------
// Controls: a window handle with the few operations the program needs.

class Control {
  public:
    void Attach(HWND hwnd) { hwnd_ = hwnd; }
    HWND Handle() const { return hwnd_; }
    void Enable(bool enable) const { EnableWindow(hwnd_, enable ? TRUE : FALSE); }
    bool IsEnabled() const { return IsWindowEnabled(hwnd_) != FALSE; }
    void Show(bool show) const { ShowWindow(hwnd_, show ? SW_SHOW : SW_HIDE); }
    void SetText(const std::wstring& text) const { SetWindowTextW(hwnd_, text.c_str()); }
    std::wstring GetText() const;
    LRESULT Send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return SendMessageW(hwnd_, message, wParam, lParam);
    }

  private:
    HWND hwnd_ = nullptr;
};

class ComboBox : public Control {
  public:
    void ResetContent() const { Send(CB_RESETCONTENT); }
    int AddString(const std::wstring& text) const;
    void SetCurSel(int index) const { Send(CB_SETCURSEL, static_cast<WPARAM>(index)); }
    int GetCurSel() const { return static_cast<int>(Send(CB_GETCURSEL)); }
    // Empty when there is no entry at index.
    std::wstring GetLBText(int index) const;
};

class Edit : public Control {
  public:
    // Replaces the selection (the caret when nothing is selected) without an undo record.
    void ReplaceSel(const std::wstring& text) const;
};

class Button : public Control {};

class ProgressCtrl : public Control {
  public:
    void SetRange32(int lower, int upper) const;
    void SetPos(int position) const;
};

// ---------------------------------------------------------------------------------------
// Dialog: a modal dialog built from a template, its messages routed through a table.

class Dialog {
  public:
    // A handler answers as a dialog procedure does: FALSE leaves the message to the dialog
    // manager's standard processing; otherwise the value is the message's result for the
    // messages that return one directly (WM_QUERYDRAGICON, WM_INITDIALOG) and TRUE for the
    // rest.
    using Handler = INT_PTR (*)(Dialog& self, WPARAM wParam, LPARAM lParam);
    struct MessageMapEntry {
        UINT message;
        UINT controlId;  // WM_COMMAND: the control whose click this handles; else 0
        Handler handler;
    };

    Dialog(UINT templateId, HWND parent) : templateId_(templateId), parent_(parent) {}
    virtual ~Dialog() = default;
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // Creates the window, runs it modally until it ends and returns EndDialog's result
    // (-1 when the window could not be created).
    INT_PTR DoModal();
    HWND Handle() const { return hwnd_; }

  protected:
    virtual std::span<const MessageMapEntry> MessageMap() const { return {}; }
    // Attaches the control members to their controls.
    virtual void DoDataExchange() {}
    // Sees every message before the table does. The base routes it through the table and
    // then to the standard processing.
    virtual INT_PTR WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // TRUE: the dialog manager gives the focus to the first tab stop.
    virtual BOOL OnInitDialog() { return TRUE; }
    void EndDialog(INT_PTR result) { ::EndDialog(hwnd_, result); }
    void BindControl(Control& control, int id) { control.Attach(GetDlgItem(hwnd_, id)); }

  private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR HandleInitDialog();
    // The dialog manager's standard behaviour for what the table left alone: OK and Cancel
    // (Enter, Escape, the close box) end the dialog.
    INT_PTR Default(UINT message, WPARAM wParam, LPARAM lParam);
    // Centres a window that its initialisation did not move: over its owner, or on the
    // screen's work area when it has none.
    void CenterIfUnmoved(const RECT& before);

    UINT templateId_;
    HWND parent_;
    HWND hwnd_ = nullptr;
};

// ---------------------------------------------------------------------------------------
// Application: exactly one static instance; the entry point runs its InitInstance.

class Application {
  public:
    Application();
    virtual ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // The program's start-up. FALSE: no message loop; the program ends.
    virtual BOOL InitInstance() { return TRUE; }
    // The message loop, for an application whose InitInstance returned TRUE.
    virtual int Run();

    static Application* Current() { return current_; }
    HINSTANCE Instance() const { return instance_; }
    void SetInstance(HINSTANCE instance) { instance_ = instance; }
    Dialog* mainWindow = nullptr;

  private:
    static Application* current_;
    HINSTANCE instance_ = nullptr;
};

HINSTANCE ResourceInstance();
// String resource id; empty when it is missing.
std::wstring LoadResourceString(UINT id);
