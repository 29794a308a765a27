// The desktop of Windows, seen and driven with the window API: windows found
// by their process, clicks posted as the mouse messages a click sends, the
// screen read back from the window's own device context.
#include <windows.h>

#include <thread>

#include "desktop.h"

namespace testing_support {
namespace {

struct Search {
    DWORD process = 0;
    int width = 0;
    int height = 0;
    std::optional<ScreenWindow> found;
};

BOOL CALLBACK ConsiderWindow(HWND window, LPARAM searchAddress) {
    Search& search = *reinterpret_cast<Search*>(searchAddress);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    RECT inside{};
    if (process != search.process || !IsWindowVisible(window) || !GetClientRect(window, &inside))
        return TRUE;
    if (inside.right != search.width || inside.bottom != search.height)
        return TRUE;
    POINT origin{0, 0};
    ClientToScreen(window, &origin);
    search.found = ScreenWindow{reinterpret_cast<std::uintptr_t>(window), origin.x, origin.y,
                                search.width, search.height};
    return FALSE;
}

HWND Handle(const ScreenWindow& window) {
    return reinterpret_cast<HWND>(window.id);
}

}  // namespace

Desktop::Desktop(const std::map<std::string, std::string>&) {}

std::optional<ScreenWindow> Desktop::WaitForWindow(pid_t pid, int width, int height,
                                                   std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        Search search{static_cast<DWORD>(pid), width, height, std::nullopt};
        EnumWindows(ConsiderWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found)
            return search.found;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

std::string Desktop::TitleOf(const ScreenWindow& window) const {
    wchar_t title[256] = {};
    const int length = GetWindowTextW(Handle(window), title, 256);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, title, length, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, title, length, text.data(), bytes, nullptr, nullptr);
    return text;
}

void Desktop::ClickAt(const ScreenWindow& window, int x, int y) const {
    // The messages a click on the window's inside delivers: the pointer
    // arrives, the left button goes down and comes up again.
    const LPARAM where = MAKELPARAM(x, y);
    PostMessageW(Handle(window), WM_MOUSEMOVE, 0, where);
    PostMessageW(Handle(window), WM_LBUTTONDOWN, MK_LBUTTON, where);
    PostMessageW(Handle(window), WM_LBUTTONUP, 0, where);
}

QImage Desktop::Capture(const ScreenWindow& window, int x, int y, int width, int height) const {
    QImage image(width, height, QImage::Format_RGB32);
    HDC screen = GetDC(Handle(window));
    if (screen == nullptr)
        return {};
    HDC memory = CreateCompatibleDC(screen);
    // A top-down 32-bit bitmap has QImage's RGB32 layout, row for row.
    BITMAPINFO format{};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = width;
    format.bmiHeader.biHeight = -height;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool captured = false;
    if (bitmap != nullptr) {
        HGDIOBJ previous = SelectObject(memory, bitmap);
        captured = BitBlt(memory, 0, 0, width, height, screen, x, y, SRCCOPY) != 0;
        GdiFlush();
        if (captured) {
            for (int row = 0; row < height; ++row) {
                memcpy(image.scanLine(row), static_cast<const char*>(bits) + row * width * 4,
                       static_cast<std::size_t>(width) * 4);
            }
        }
        SelectObject(memory, previous);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(Handle(window), screen);
    return captured ? image : QImage();
}

}  // namespace testing_support
