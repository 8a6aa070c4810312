// The window layer over Win32 and GDI, ANSI calls throughout: the shell's
// seam, the window procedure and the process entry.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "app/shell.h"
#include "scene/scene_data.h"

// The platform items of the shell's state, kept for the life of the program.
WNDCLASSA window_class;
RECT window_rect;
BITMAPINFOHEADER bitmap_header;
MSG message;  // the message pump's record; its parameter carries the exit code
HWND window_handle;
HDC device_context;

namespace {

// A fixed-size captioned window with a system menu and a minimise box: no
// maximise box and no sizing border, so the client area keeps the frame's
// size.
constexpr DWORD window_style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
static_assert(window_style == 0x00CA0000);
// The style the client rectangle is widened for: the same caption and border,
// hence the same non-client size.
constexpr DWORD sizing_style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
static_assert(sizing_style == 0x80C80000);

constexpr const char* class_name = "dunvel";
constexpr WORD standard_resource_id = 32512;  // IDI_APPLICATION and IDC_ARROW alike

ShellKey shell_key(WPARAM virtual_key) {
    switch (virtual_key) {
        case VK_SPACE: return ShellKey::space;
        case VK_ESCAPE: return ShellKey::escape;
        default: return ShellKey::other;
    }
}

// A start-up failure's reason with the system's error code of the call that
// failed.
std::string with_error(const char* what) {
    return std::string(what) + " (Windows error " + std::to_string(GetLastError()) + ").";
}

// Set when the window is destroyed (closed by the user): its quit message
// follows.
bool window_destroyed = false;

// The window's presenter: the frame buffers are DIB sections, each selected
// into a memory device context of its own. The engine draws straight into a
// section's pixels, and one BitBlt puts a frame on the window; GDI may hold
// the BitBlt in its batch, still to read the section, until GdiFlush. The
// last frame put is what WM_PAINT puts again.
class SectionPresenter final : public Presenter {
  public:
    ~SectionPresenter() override { give_back(); }

    int make_buffers(FrameSize size, int wanted, std::string* reason) override {
        give_back();
        bitmap_header.biWidth = size.width;
        bitmap_header.biHeight = -static_cast<LONG>(size.height);  // negative: rows run from the top down
        size_ = size;
        whole_ = true;
        const int count = wanted < 2 ? 1 : 2;
        for (count_ = 0; count_ < count; ++count_) {
            if (make(sections_[count_])) continue;
            // One section is enough: frames are then drawn and shown in turn.
            if (count_ == 0) *reason = with_error("The frame's DIB section could not be made");
            break;
        }
        return count_;
    }

    std::uint32_t* take_buffer(std::string* reason) override {
        GdiFlush();
        for (int i = 0; i < count_; ++i) {
            if (sections_[i].taken) continue;
            sections_[i].taken = true;
            return sections_[i].pixels;
        }
        *reason = "every frame buffer is taken";
        return nullptr;
    }

    bool present(std::uint32_t* pixels, const PixelRect& changed, std::string* reason) override {
        Section* section = section_of(pixels);
        if (section == nullptr || !section->taken) {
            *reason = "a frame buffer was shown that had not been taken";
            return false;
        }
        section->taken = false;
        shown_ = section;
        const PixelRect put = whole_ ? PixelRect{0, 0, size_.width, size_.height} : changed;
        whole_ = false;
        if (put.empty()) return true;  // the window shows this frame already
        // Closed by the user: the quit message waits in the queue, behind
        // the event that destroyed the window, and nothing is to be shown.
        if (window_destroyed) return true;
        // The same rectangle of the same size: a 1:1 copy, nothing stretched.
        if (!BitBlt(device_context, put.left, put.top, put.right - put.left, put.bottom - put.top,
                    section->memory_context, put.left, put.top, SRCCOPY)) {
            *reason = with_error("GDI could not put the frame on the window");
            return false;
        }
        return true;
    }

    std::string way() const override { return "GDI DIB sections (BitBlt)"; }

    // WM_PAINT: what the system asks to be painted anew (uncovered,
    // restored, during a drag) gets the frame shown last, black before the
    // first. No section is drawn into then: the engine draws only between
    // the frame step's calls, and never into the section shown last.
    void paint(HWND window) {
        PAINTSTRUCT paint;
        HDC context = BeginPaint(window, &paint);
        if (context != nullptr) {
            const RECT& r = paint.rcPaint;
            if (shown_ != nullptr)
                BitBlt(context, r.left, r.top, r.right - r.left, r.bottom - r.top, shown_->memory_context, r.left,
                       r.top, SRCCOPY);
            else
                FillRect(context, &r, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
        }
        EndPaint(window, &paint);
    }

  private:
    struct Section {
        HBITMAP bitmap = nullptr;
        HDC memory_context = nullptr;
        std::uint32_t* pixels = nullptr;
        bool taken = false;
    };

    static bool make(Section& section) {
        // The system maps a section's pixels in pages of their own,
        // zero-filled, rows of 32-bit words from the top down (biHeight < 0)
        // and no padding.
        void* pixels = nullptr;
        section.bitmap = CreateDIBSection(device_context, reinterpret_cast<const BITMAPINFO*>(&bitmap_header),
                                          DIB_RGB_COLORS, &pixels, nullptr, 0);
        if (section.bitmap == nullptr) return false;
        section.memory_context = CreateCompatibleDC(device_context);
        if (section.memory_context == nullptr || reinterpret_cast<std::uintptr_t>(pixels) % 4096 != 0 ||
            SelectObject(section.memory_context, section.bitmap) == nullptr) {
            release(section);
            return false;
        }
        section.pixels = static_cast<std::uint32_t*>(pixels);
        return true;
    }

    static void release(Section& section) {
        if (section.memory_context != nullptr) DeleteDC(section.memory_context);
        if (section.bitmap != nullptr) DeleteObject(section.bitmap);
        section = Section{};
    }

    void give_back() {
        GdiFlush();  // no BitBlt still reads a section
        for (Section& section : sections_) release(section);
        count_ = 0;
        shown_ = nullptr;
    }

    Section* section_of(const std::uint32_t* pixels) {
        for (int i = 0; i < count_; ++i)
            if (sections_[i].pixels == pixels) return &sections_[i];
        return nullptr;
    }

    Section sections_[2];
    int count_ = 0;
    Section* shown_ = nullptr;
    FrameSize size_{0, 0};
    bool whole_ = true;  // at first the window shows nothing of the frames
};
SectionPresenter presenter;

// The window's size for a client area of the frame's size: the frame and
// caption of `dpi`, where the system can say them for a DPI (Windows 10 on),
// else the system-wide ones.
using AdjustForDpi = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
using DpiOfWindow = UINT(WINAPI*)(HWND);

// The client area's size: the frame's.
FrameSize client_size{0, 0};

RECT window_rect_for_dpi(UINT dpi) {
    RECT rect{0, 0, client_size.width, client_size.height};
    static const auto adjust = reinterpret_cast<AdjustForDpi>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "AdjustWindowRectExForDpi")));
    if (adjust == nullptr || dpi == 0 || !adjust(&rect, sizing_style, FALSE, 0, dpi))
        AdjustWindowRect(&rect, sizing_style, FALSE);
    return rect;
}

// The DPI of the monitor the window is on; 0 where the system cannot say.
UINT dpi_of(HWND window) {
    static const auto dpi = reinterpret_cast<DpiOfWindow>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow")));
    return dpi != nullptr ? dpi(window) : 0;
}

// Gives the window the size whose client area is the frame at `dpi`, then
// makes up whatever the window's own frame and caption still differ by.
void size_client_area(HWND window, UINT dpi, int left, int top) {
    const RECT rect = window_rect_for_dpi(dpi);
    SetWindowPos(window, nullptr, left, top, rect.right - rect.left, rect.bottom - rect.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    RECT client{};
    RECT outer{};
    if (!GetClientRect(window, &client) || !GetWindowRect(window, &outer)) return;
    const int wider = client_size.width - (client.right - client.left);
    const int taller = client_size.height - (client.bottom - client.top);
    if (wider != 0 || taller != 0)
        SetWindowPos(window, nullptr, 0, 0, outer.right - outer.left + wider, outer.bottom - outer.top + taller,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Where the --fps lines go; none until prepare_frame_rate_lines finds a place.
HANDLE frame_rate_output = INVALID_HANDLE_VALUE;

}  // namespace

// Key-downs end here and never reach the default procedure; closing the
// window by its menu or close box goes through the default procedure to
// WM_DESTROY, which ends the loop.
LRESULT CALLBACK window_proc(HWND window, UINT number, WPARAM w_param, LPARAM l_param) {
    switch (number) {
        case WM_KEYDOWN:
            if (key_pressed(shell_key(w_param)) == EventOutcome::quit) PostQuitMessage(0);
            return 0;
        case WM_DESTROY:
            window_destroyed = true;
            PostQuitMessage(0);
            return 0;
        case WM_PAINT: presenter.paint(window); return 0;
        case WM_DPICHANGED: {
            // Moved to a monitor of another scale: the frame keeps its
            // pixels, and the window its client area of exactly as many.
            const RECT* suggested = reinterpret_cast<const RECT*>(l_param);
            size_client_area(window, HIWORD(w_param), suggested->left, suggested->top);
            return 0;
        }
        default: return DefWindowProcA(window, number, w_param, l_param);
    }
}

bool open_display(int* screen_width, int* screen_height, std::string*) {
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.hIcon = LoadIconA(nullptr, MAKEINTRESOURCEA(standard_resource_id));
    window_class.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(standard_resource_id));
    *screen_width = GetSystemMetrics(SM_CXSCREEN);
    *screen_height = GetSystemMetrics(SM_CYSCREEN);
    return true;
}

Presenter* open_window(FrameSize size, std::string* reason) {
    client_size = size;
    bitmap_header.biSize = sizeof(BITMAPINFOHEADER);
    bitmap_header.biWidth = size.width;
    bitmap_header.biHeight = -static_cast<LONG>(size.height);  // negative: rows run from the top down
    bitmap_header.biPlanes = 1;
    bitmap_header.biBitCount = 32;
    bitmap_header.biCompression = BI_RGB;
    bitmap_header.biSizeImage = 0;
    bitmap_header.biXPelsPerMeter = 0;
    bitmap_header.biYPelsPerMeter = 0;
    bitmap_header.biClrUsed = 0;
    bitmap_header.biClrImportant = 0;

    window_rect.left = 0;
    window_rect.top = 0;
    window_rect.right = size.width;
    window_rect.bottom = size.height;
    AdjustWindowRect(&window_rect, sizing_style, FALSE);

    window_class.style = 0;
    window_class.lpfnWndProc = window_proc;
    window_class.cbClsExtra = 0;
    window_class.cbWndExtra = 0;
    // No background: WM_PAINT puts the frame shown last, and an erase would
    // show a grey window until then.
    window_class.hbrBackground = nullptr;
    window_class.lpszMenuName = nullptr;
    window_class.lpszClassName = class_name;
    // Without the class, the window or its device context there is nothing
    // to draw on, and the program would render into nothing forever.
    if (RegisterClassA(&window_class) == 0) {
        *reason = with_error("The window class could not be registered");
        return nullptr;
    }

    window_handle =
        CreateWindowExA(0, class_name, window_title, window_style, 0, 0, window_rect.right - window_rect.left,
                        window_rect.bottom - window_rect.top, nullptr, nullptr, nullptr, nullptr);
    if (window_handle == nullptr) {
        *reason = with_error("The window could not be made");
        return nullptr;
    }
    // The frame and caption of the monitor the window is on, whose scale may
    // differ from the system's.
    size_client_area(window_handle, dpi_of(window_handle), 0, 0);
    device_context = GetDC(window_handle);
    if (device_context == nullptr) {
        *reason = with_error("The window's device context could not be had");
        return nullptr;
    }
    ShowWindow(window_handle, SW_SHOW);
    return &presenter;
}

void sleep_one_millisecond() { Sleep(1); }

EventOutcome handle_one_event() {
    // One call takes the message off the queue: each call is a trip to the
    // window system (under Wine, to its server).
    if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) return EventOutcome::none;
    if (message.message == WM_QUIT) return EventOutcome::quit;
    TranslateMessage(&message);
    DispatchMessageA(&message);
    return EventOutcome::go_on;
}

namespace {

// A GUI program has standard output and error only when whoever started it
// gave it some (a redirection, or Wine passing on its own).
bool has_stream(DWORD which) {
    const HANDLE stream = GetStdHandle(which);
    return stream != nullptr && stream != INVALID_HANDLE_VALUE && GetFileType(stream) != FILE_TYPE_UNKNOWN;
}

}  // namespace

void show_startup_failure(const std::string& reason) {
    if (has_stream(STD_ERROR_HANDLE)) {
        std::fprintf(stderr, "%s\n%s\n", startup_failed_text, reason.c_str());
        std::fflush(stderr);
    }
    const std::string text = std::string(startup_failed_text) + "\n\n" + reason;
    MessageBoxA(nullptr, text.c_str(), nullptr, MB_ICONERROR);
}

// Without a stream the text goes to a message box.
void show_text(const std::string& text, bool is_error) {
    if (has_stream(is_error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE)) {
        std::FILE* file = is_error ? stderr : stdout;
        std::fputs(text.c_str(), file);
        std::fflush(file);
        return;
    }
    MessageBoxA(nullptr, text.c_str(), "Ombrastel", is_error ? MB_ICONERROR : MB_ICONINFORMATION);
}

void show_help(const std::string& text, const std::string& dialog_text) {
    if (has_stream(STD_OUTPUT_HANDLE))
        show_text(text, false);
    else
        MessageBoxA(nullptr, dialog_text.c_str(), "Ombrastel", MB_ICONINFORMATION);
}

// A GUI program's standard error is whatever its starter gave it (a
// redirection, Wine's own); without one, the lines go to the console the
// program was started from, or else to a console of its own, a window beside
// the program's whose title is not the program's.
void prepare_frame_rate_lines() {
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error != nullptr && error != INVALID_HANDLE_VALUE && GetFileType(error) != FILE_TYPE_UNKNOWN) {
        frame_rate_output = error;
        return;
    }
    if (!AttachConsole(ATTACH_PARENT_PROCESS) && !AllocConsole()) return;
    frame_rate_output = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
}

void show_frame_rate_line(const std::string& line) {
    if (frame_rate_output == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(frame_rate_output, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void close_window_and_exit(ShellEnd end) {
    if (device_context != nullptr) ReleaseDC(window_handle, device_context);
    if (window_handle != nullptr) DestroyWindow(window_handle);
    switch (end) {
        case ShellEnd::startup_failed: ExitProcess(static_cast<UINT>(startup_failed_exit_status));
        case ShellEnd::bad_arguments: ExitProcess(static_cast<UINT>(bad_arguments_exit_status));
        case ShellEnd::display_failed: ExitProcess(static_cast<UINT>(display_failed_exit_status));
        case ShellEnd::quit: break;
    }
    ExitProcess(static_cast<UINT>(message.wParam));
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // The C runtime has split the command line as for main().
    program_entry(__argc, __argv);
}
