#include "linux_device_list.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// What the window would have got from a 2048-byte property buffer.
constexpr std::size_t kMaxFriendlyName = 1023;
// USB string descriptors hold at most 126 UTF-16 units; anything much longer is not one.
constexpr std::size_t kMaxStringBytes = 1024;
// Interface, usb-serial port and tty levels lie between a tty and its USB device.
constexpr int kMaxWalkUp = 8;

// USB strings arrive as UTF-8; a malformed byte becomes U+FFFD instead of ending the name.
std::wstring FromUtf8(const std::string& text) {
    std::wstring out;
    std::size_t i = 0;
    while (i < text.size()) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        std::size_t more = lead < 0x80             ? 0
                           : (lead & 0xE0) == 0xC0 ? 1
                           : (lead & 0xF0) == 0xE0 ? 2
                           : (lead & 0xF8) == 0xF0 ? 3
                                                   : 4;
        char32_t cp = more == 0 ? lead : lead & (0x3F >> more);
        bool ok = more < 4 && i + more < text.size();
        for (std::size_t k = 1; ok && k <= more; ++k) {
            unsigned char next = static_cast<unsigned char>(text[i + k]);
            ok = (next & 0xC0) == 0x80;
            cp = (cp << 6) | (next & 0x3F);
        }
        static constexpr char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (!ok || cp < kLeast[more] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(L'\uFFFD');
            ++i;
            continue;
        }
        out.push_back(static_cast<wchar_t>(cp));
        i += more + 1;
    }
    return out;
}

// One sysfs attribute, without its line break; empty when absent or unreadable.
std::string ReadAttribute(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return {};
    std::string text(kMaxStringBytes, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    std::size_t zero = text.find('\0');
    if (zero != std::string::npos) text.resize(zero);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r'))
        text.pop_back();
    return text;
}

// The USB device above a tty's device: the first directory on the way up that carries the
// device descriptor's idVendor (interfaces and usb-serial ports do not).
bool FindUsbDevice(const fs::path& start, const fs::path& devicesRoot, fs::path& usbDevice) {
    std::error_code ec;
    fs::path dir = start;
    for (int level = 0; level <= kMaxWalkUp; ++level) {
        if (fs::exists(dir / "idVendor", ec)) {
            usbDevice = dir;
            return true;
        }
        if (dir == devicesRoot || !dir.has_parent_path() || dir.parent_path() == dir) return false;
        dir = dir.parent_path();
    }
    return false;
}

}  // namespace

bool SysfsDeviceList::Enumerate(std::vector<std::wstring>& friendlyNames) {
    friendlyNames.clear();
    std::error_code ec;
    fs::path ttyClass = fs::path(root_) / "class" / "tty";
    fs::directory_iterator it(ttyClass, ec);
    if (ec) return false;
    std::vector<std::string> ttys;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        ttys.push_back(it->path().filename().string());
    }
    fs::path devicesRoot = fs::weakly_canonical(fs::path(root_) / "devices", ec);
    std::sort(ttys.begin(), ttys.end());

    for (const std::string& tty : ttys) {
        // Virtual terminals and pseudo-terminals have no device link.
        fs::path device = fs::canonical(ttyClass / tty / "device", ec);
        if (ec) continue;
        fs::path usb;
        if (!FindUsbDevice(device, devicesRoot, usb)) continue;
        std::wstring name;
        for (const char* attribute : {"manufacturer", "product"}) {
            std::wstring part = FromUtf8(ReadAttribute(usb / attribute));
            if (part.empty()) continue;
            if (!name.empty()) name += L' ';
            name += part;
        }
        if (!name.empty()) name += L' ';
        name += L'(' + FromUtf8(tty) + L')';
        if (name.size() > kMaxFriendlyName) continue;
        friendlyNames.push_back(std::move(name));
    }
    return true;
}

std::unique_ptr<DeviceList> CreatePlatformDeviceList() {
    return std::make_unique<SysfsDeviceList>();
}

bool IsDeviceNodeChange(const char* message, std::size_t length) {
    // udev's re-broadcasts start with "libudev"; only the kernel's own messages count, so
    // one change is not seen twice.
    const char* at = static_cast<const char*>(std::memchr(message, '@', length));
    if (at == nullptr) return false;
    std::string_view header(message, static_cast<std::size_t>(at - message));
    return header == "add" || header == "remove";
}

UeventChangeSource::~UeventChangeSource() {
    if (fd_ >= 0) close(fd_);
}

int UeventChangeSource::Wait(uint32_t timeoutMs) {
    if (fd_ < 0) return -1;
    pollfd pfd{fd_, POLLIN, 0};
    int timeout = timeoutMs > 0x7FFFFFFFu ? -1 : static_cast<int>(timeoutMs);
    int ready;
    do {
        ready = poll(&pfd, 1, timeout);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return -1;
    if (ready == 0) return 0;
    if (pfd.revents & (POLLERR | POLLNVAL)) return -1;

    // Take every message that is waiting now: a plug-in comes as a burst.
    int changes = 0;
    char buffer[8192];
    for (;;) {
        ssize_t got = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR) continue;
            // ENOBUFS: the kernel dropped messages; there was at least one change.
            if (errno == ENOBUFS) {
                ++changes;
                continue;
            }
            break;
        }
        if (got == 0) {
            if (changes == 0 && (pfd.revents & POLLHUP)) return -1;
            break;
        }
        if (IsDeviceNodeChange(buffer, static_cast<std::size_t>(got))) ++changes;
    }
    return changes;
}

int OpenUeventSocket() {
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (fd < 0) return -1;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_pid = 0;
    address.nl_groups = 1;  // the kernel's group; udev's own is 2
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

// The kernel's uevent socket rather than a udev monitor or inotify on /dev: it needs no
// library and no running udev daemon (minimal systems and containers have none), and it
// reports every device the kernel adds or removes, as the Windows broadcast does for every
// device node. The scan reads sysfs only, which is complete when the kernel sends the event.
std::unique_ptr<DeviceChangeSource> CreatePlatformDeviceChangeSource() {
    int fd = OpenUeventSocket();
    if (fd < 0) return nullptr;
    return std::make_unique<UeventChangeSource>(fd);
}
