#include "dialog.h"

#include <commctrl.h>

#include <vector>

// ---------------------------------------------------------------------------------------
// Controls

std::wstring Control::GetText() const {
    int length = GetWindowTextLengthW(hwnd_);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    int got = GetWindowTextW(hwnd_, text.data(), length + 1);
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return text;
}

int ComboBox::AddString(const std::wstring& text) const {
    return static_cast<int>(Send(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
}

std::wstring ComboBox::GetLBText(int index) const {
    LRESULT length = Send(CB_GETLBTEXTLEN, static_cast<WPARAM>(index));
    if (length == CB_ERR || length < 0) return {};
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1, L'\0');
    LRESULT got =
        Send(CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buffer.data()));
    if (got == CB_ERR || got < 0) return {};
    return std::wstring(buffer.data(), static_cast<size_t>(got));
}

void Edit::ReplaceSel(const std::wstring& text) const {
    Send(EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
}

void ProgressCtrl::SetRange32(int lower, int upper) const {
    Send(PBM_SETRANGE32, static_cast<WPARAM>(lower), static_cast<LPARAM>(upper));
}

void ProgressCtrl::SetPos(int position) const {
    Send(PBM_SETPOS, static_cast<WPARAM>(position));
}

// ---------------------------------------------------------------------------------------
// Dialog

INT_PTR Dialog::DoModal() {
    return DialogBoxParamW(ResourceInstance(), MAKEINTRESOURCEW(templateId_), parent_,
                           &Dialog::DialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK Dialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<Dialog*>(lParam);
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        self->hwnd_ = hwnd;
        return self->HandleInitDialog();
    }
    auto* self = reinterpret_cast<Dialog*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    // Messages before WM_INITDIALOG (WM_SETFONT and the like) go to the dialog manager.
    if (self == nullptr) return FALSE;
    INT_PTR result = self->WindowProc(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, DWLP_USER, 0);
        self->hwnd_ = nullptr;
    }
    return result;
}

INT_PTR Dialog::HandleInitDialog() {
    RECT before{};
    GetWindowRect(hwnd_, &before);
    DoDataExchange();
    INT_PTR result = OnInitDialog();
    CenterIfUnmoved(before);
    return result;
}

INT_PTR Dialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    for (const MessageMapEntry& entry : MessageMap()) {
        if (entry.message != message) continue;
        if (message == WM_COMMAND &&
            (LOWORD(wParam) != entry.controlId || HIWORD(wParam) != BN_CLICKED)) {
            continue;
        }
        INT_PTR result = entry.handler(*this, wParam, lParam);
        if (result != FALSE) return result;
        break;
    }
    return Default(message, wParam, lParam);
}

INT_PTR Dialog::Default(UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED &&
        (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

void Dialog::CenterIfUnmoved(const RECT& before) {
    RECT now{};
    GetWindowRect(hwnd_, &now);
    if (now.left != before.left || now.top != before.top) return;
    RECT area{};
    HWND owner = GetWindow(hwnd_, GW_OWNER);
    if (owner != nullptr && IsWindowVisible(owner) && !IsIconic(owner)) {
        GetWindowRect(owner, &area);
    } else {
        MONITORINFO info{};
        info.cbSize = sizeof info;
        GetMonitorInfoW(MonitorFromWindow(hwnd_, MONITOR_DEFAULTTOPRIMARY), &info);
        area = info.rcWork;
    }
    int width = now.right - now.left;
    int height = now.bottom - now.top;
    int x = area.left + (area.right - area.left - width) / 2;
    int y = area.top + (area.bottom - area.top - height) / 2;
    SetWindowPos(hwnd_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// ---------------------------------------------------------------------------------------
// Application

Application* Application::current_ = nullptr;

Application::Application() {
    current_ = this;
}

Application::~Application() {
    if (current_ == this) current_ = nullptr;
}

int Application::Run() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

HINSTANCE ResourceInstance() {
    Application* app = Application::Current();
    return app != nullptr && app->Instance() != nullptr ? app->Instance()
                                                        : GetModuleHandleW(nullptr);
}

std::wstring LoadResourceString(UINT id) {
    const wchar_t* text = nullptr;
    // With a zero buffer size LoadStringW hands out a pointer into the resource itself.
    int length = LoadStringW(ResourceInstance(), id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || text == nullptr) return {};
    return std::wstring(text, static_cast<size_t>(length));
}
