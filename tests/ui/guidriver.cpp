// Test helper that runs under Wine beside the dialog program and drives it through window
// messages: finds a top-level window by its title, then reads or pokes its controls.
//
// Usage: guidriver COMMAND TITLE [ARGS...]; prints results on stdout, exit status 0 on
// success, 1 when the window or control is missing or a wait timed out, 2 on bad usage.
// clang-format off
#include <windows.h>  // before the other system headers, which need its types
// clang-format on
#include <commctrl.h>
#include <dbt.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr UINT kTransferProgress = 1026;

void Print(const std::wstring& text) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                    nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(), bytes,
                        nullptr, nullptr);
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    std::fflush(stdout);
}

void PrintNumber(long long value) {
    Print(std::to_wstring(value));
}

long Number(const wchar_t* text) {
    return std::wcstol(text, nullptr, 0);
}

HWND FindTopLevel(const wchar_t* title) {
    return FindWindowW(nullptr, title);
}

// Waits up to timeoutMs for the window; nullptr when it did not appear.
HWND WaitForWindow(const wchar_t* title, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        if (HWND hwnd = FindTopLevel(title)) return hwnd;
        if (GetTickCount() - start >= timeoutMs) return nullptr;
        Sleep(50);
    }
}

std::wstring WindowText(HWND hwnd) {
    LRESULT length = SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0);
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1, L'\0');
    LRESULT got =
        SendMessageW(hwnd, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()));
    return std::wstring(buffer.data(), static_cast<size_t>(got > 0 ? got : 0));
}

// The id of the dialog's control that holds the keyboard focus (a combo box's inner edit
// counts as the combo box), or 0.
int FocusedControlId(HWND dialog) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info)) return 0;
    HWND focus = info.hwndFocus;
    while (focus != nullptr && GetParent(focus) != dialog) focus = GetParent(focus);
    return focus != nullptr ? GetDlgCtrlID(focus) : 0;
}

// The Edit inside the open-file dialog's file-name box (ComboBoxEx32 id 1148).
HWND FileNameEdit(HWND dialog) {
    HWND box = GetDlgItem(dialog, 1148);
    if (box == nullptr) return nullptr;
    HWND edit = FindWindowExW(box, nullptr, L"Edit", nullptr);
    if (edit != nullptr) return edit;
    HWND combo = FindWindowExW(box, nullptr, L"ComboBox", nullptr);
    return combo != nullptr ? FindWindowExW(combo, nullptr, L"Edit", nullptr) : nullptr;
}

int Usage() {
    std::fputs(
        "usage: guidriver COMMAND TITLE [ARGS]\n"
        "  wait TITLE [MS]           wait until the window exists\n"
        "  waitgone TITLE [MS]       wait until it is gone\n"
        "  get TITLE ID              text of control ID (0: the window's title)\n"
        "  enabled|visible TITLE ID  1 or 0\n"
        "  focus TITLE               id of the control with the keyboard focus\n"
        "  cbsel TITLE ID            selected index of a combo box\n"
        "  cbtext TITLE ID           text of its selected entry\n"
        "  cbcount TITLE ID          number of entries\n"
        "  pbpos TITLE ID            position of a progress bar\n"
        "  pbrange TITLE ID          its range as LOW HIGH\n"
        "  progress TITLE CHUNKS KIB send the transfer's progress notification\n"
        "  settext TITLE ID TEXT     set a control's text\n"
        "  setsel TITLE ID FROM TO   select text in an edit\n"
        "  postclick TITLE ID        post a click of button ID\n"
        "  command TITLE ID          post WM_COMMAND ID (e.g. 1 = IDOK, 2 = IDCANCEL)\n"
        "  syscmd TITLE ID [LPARAM]  post a system command (0xF100 32: open the system menu)\n"
        "  cancelmode TITLE          post WM_CANCELMODE (ends a menu loop)\n"
        "  devchange TITLE [EVENT]   send WM_DEVICECHANGE (default DBT_DEVNODES_CHANGED)\n"
        "  ofn-accept TITLE PATH     type PATH into an open-file dialog and press OK\n"
        "  close TITLE               post WM_CLOSE\n"
        "  minimize TITLE            minimise the window\n",
        stderr);
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);  // no "\r" added to what tests compare
    if (argc < 3) return Usage();
    std::wstring command = argv[1];
    const wchar_t* title = argv[2];

    if (command == L"wait") {
        return WaitForWindow(title, argc > 3 ? Number(argv[3]) : 10000) ? 0 : 1;
    }
    if (command == L"waitgone") {
        DWORD timeout = argc > 3 ? Number(argv[3]) : 10000;
        DWORD start = GetTickCount();
        while (FindTopLevel(title) != nullptr) {
            if (GetTickCount() - start >= timeout) return 1;
            Sleep(50);
        }
        return 0;
    }

    HWND window = FindTopLevel(title);
    if (window == nullptr) {
        std::fputs("guidriver: window not found\n", stderr);
        return 1;
    }
    auto control = [&](int index) -> HWND {
        if (argc <= index) return nullptr;
        long id = Number(argv[index]);
        return id == 0 ? window : GetDlgItem(window, static_cast<int>(id));
    };
    auto needControl = [&](HWND hwnd) {
        if (hwnd == nullptr) std::fputs("guidriver: control not found\n", stderr);
        return hwnd != nullptr;
    };

    if (command == L"get" || command == L"enabled" || command == L"visible" ||
        command == L"cbsel" || command == L"cbtext" || command == L"cbcount" ||
        command == L"pbpos" || command == L"pbrange") {
        HWND hwnd = control(3);
        if (!needControl(hwnd)) return 1;
        if (command == L"get") {
            Print(WindowText(hwnd));
        } else if (command == L"enabled") {
            PrintNumber(IsWindowEnabled(hwnd) ? 1 : 0);
        } else if (command == L"visible") {
            PrintNumber(IsWindowVisible(hwnd) ? 1 : 0);
        } else if (command == L"cbsel") {
            PrintNumber(static_cast<int>(SendMessageW(hwnd, CB_GETCURSEL, 0, 0)));
        } else if (command == L"cbcount") {
            PrintNumber(static_cast<int>(SendMessageW(hwnd, CB_GETCOUNT, 0, 0)));
        } else if (command == L"cbtext") {
            LRESULT index = SendMessageW(hwnd, CB_GETCURSEL, 0, 0);
            if (index == CB_ERR) return 1;
            LRESULT length = SendMessageW(hwnd, CB_GETLBTEXTLEN, index, 0);
            std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1, L'\0');
            SendMessageW(hwnd, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(buffer.data()));
            Print(buffer.data());
        } else if (command == L"pbpos") {
            PrintNumber(static_cast<int>(SendMessageW(hwnd, PBM_GETPOS, 0, 0)));
        } else {
            int low = static_cast<int>(SendMessageW(hwnd, PBM_GETRANGE, TRUE, 0));
            int high = static_cast<int>(SendMessageW(hwnd, PBM_GETRANGE, FALSE, 0));
            Print(std::to_wstring(low) + L" " + std::to_wstring(high));
        }
        return 0;
    }
    if (command == L"focus") {
        PrintNumber(FocusedControlId(window));
        return 0;
    }
    if (command == L"progress" && argc > 4) {
        SendMessageW(window, kTransferProgress, static_cast<WPARAM>(Number(argv[3])),
                     static_cast<LPARAM>(Number(argv[4])));
        return 0;
    }
    if (command == L"settext" && argc > 4) {
        HWND hwnd = control(3);
        if (!needControl(hwnd)) return 1;
        SendMessageW(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[4]));
        return 0;
    }
    if (command == L"setsel" && argc > 5) {
        HWND hwnd = control(3);
        if (!needControl(hwnd)) return 1;
        SendMessageW(hwnd, EM_SETSEL, static_cast<WPARAM>(Number(argv[4])),
                     static_cast<LPARAM>(Number(argv[5])));
        return 0;
    }
    if (command == L"postclick" && argc > 3) {
        HWND hwnd = control(3);
        if (!needControl(hwnd)) return 1;
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(hwnd), BN_CLICKED),
                     reinterpret_cast<LPARAM>(hwnd));
        return 0;
    }
    if (command == L"command" && argc > 3) {
        long id = Number(argv[3]);
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(window, static_cast<int>(id))));
        return 0;
    }
    if (command == L"syscmd" && argc > 3) {
        LPARAM lParam = argc > 4 ? static_cast<LPARAM>(Number(argv[4])) : 0;
        PostMessageW(window, WM_SYSCOMMAND, static_cast<WPARAM>(Number(argv[3])), lParam);
        return 0;
    }
    if (command == L"cancelmode") {
        // Ends a menu loop that a posted SC_KEYMENU started.
        PostMessageW(window, WM_CANCELMODE, 0, 0);
        return 0;
    }
    if (command == L"devchange") {
        WPARAM event = argc > 3 ? static_cast<WPARAM>(Number(argv[3])) : DBT_DEVNODES_CHANGED;
        SendMessageW(window, WM_DEVICECHANGE, event, 0);
        return 0;
    }
    if (command == L"ofn-accept" && argc > 3) {
        HWND edit = FileNameEdit(window);
        if (!needControl(edit)) return 1;
        SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[3]));
        HWND ok = GetDlgItem(window, IDOK);
        if (!needControl(ok)) return 1;
        PostMessageW(ok, BM_CLICK, 0, 0);
        return 0;
    }
    if (command == L"close") {
        PostMessageW(window, WM_CLOSE, 0, 0);
        return 0;
    }
    if (command == L"minimize") {
        PostMessageW(window, WM_SYSCOMMAND, SC_MINIMIZE, 0);
        return 0;
    }
    return Usage();
}
