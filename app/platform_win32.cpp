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

// The frame buffers are DIB sections, each selected into a memory device
// context of its own: the engine draws straight into the bitmap's pixels, and
// one BitBlt puts a frame on the window. Made as the buffers are asked for:
// one for an engine that draws in the foreground, two otherwise.
struct FrameSection {
    HBITMAP bitmap = nullptr;
    HDC memory_context = nullptr;
    const std::uint32_t* pixels = nullptr;
};
FrameSection frame_sections[2];

const FrameSection* section_of(const std::uint32_t* pixels) {
    for (const FrameSection& section : frame_sections)
        if (section.pixels == pixels && pixels != nullptr) return &section;
    return nullptr;
}

void* obtain_frame_section(std::size_t bytes) {
    const std::size_t frame_bytes =
        static_cast<std::size_t>(bitmap_header.biWidth) * static_cast<std::size_t>(-bitmap_header.biHeight) * 4;
    for (FrameSection& section : frame_sections) {
        if (section.pixels != nullptr) continue;
        if (bytes != frame_bytes) return nullptr;
        // The system maps a section's pixels in pages of their own, zero-filled,
        // rows of 32-bit words from the top down (biHeight < 0) and no padding.
        void* pixels = nullptr;
        section.bitmap = CreateDIBSection(device_context, reinterpret_cast<const BITMAPINFO*>(&bitmap_header),
                                          DIB_RGB_COLORS, &pixels, nullptr, 0);
        if (section.bitmap == nullptr) return nullptr;
        section.memory_context = CreateCompatibleDC(device_context);
        if (section.memory_context == nullptr || reinterpret_cast<std::uintptr_t>(pixels) % 4096 != 0 ||
            SelectObject(section.memory_context, section.bitmap) == nullptr) {
            if (section.memory_context != nullptr) DeleteDC(section.memory_context);
            DeleteObject(section.bitmap);
            section = FrameSection{};
            return nullptr;
        }
        section.pixels = static_cast<const std::uint32_t*>(pixels);
        return pixels;
    }
    return nullptr;
}

// The client area may have lost what it showed: the next frame is put whole,
// not only where it changed. At first it shows nothing of the frames.
bool contents_lost = true;

// Where the --fps lines go; none until prepare_frame_rate_lines finds a place.
HANDLE frame_rate_output = INVALID_HANDLE_VALUE;

// A start-up failure's reason with the system's error code of the call that
// failed.
bool failed_with_error(std::string* reason, const char* what) {
    *reason = std::string(what) + " (Windows error " + std::to_string(GetLastError()) + ").";
    return false;
}

}  // namespace

// Key-downs end here and never reach the default procedure; closing the
// window by its menu or close box goes through the default procedure to
// WM_DESTROY, which ends the loop.
LRESULT CALLBACK window_proc(HWND window, UINT number, WPARAM w_param, LPARAM l_param) {
    switch (number) {
        case WM_KEYDOWN:
            if (key_pressed(shell_key(w_param)) == EventOutcome::quit) PostQuitMessage(0);
            return 0;
        case WM_DESTROY: PostQuitMessage(0); return 0;
        case WM_PAINT:
            // Part of the client area was lost (uncovered, restored) and is
            // to be painted anew: the next frame is put whole. The default
            // procedure marks it painted.
            contents_lost = true;
            return DefWindowProcA(window, number, w_param, l_param);
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

bool open_window(FrameSize size, std::string* reason) {
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
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(1));
    window_class.lpszMenuName = nullptr;
    window_class.lpszClassName = class_name;
    // Without the class, the window or its device context there is nothing
    // to draw on, and the program would render into nothing forever.
    if (RegisterClassA(&window_class) == 0)
        return failed_with_error(reason, "The window class could not be registered");

    window_handle =
        CreateWindowExA(0, class_name, window_title, window_style, 0, 0, window_rect.right - window_rect.left,
                        window_rect.bottom - window_rect.top, nullptr, nullptr, nullptr, nullptr);
    if (window_handle == nullptr) return failed_with_error(reason, "The window could not be made");
    device_context = GetDC(window_handle);
    if (device_context == nullptr) return failed_with_error(reason, "The window's device context could not be had");
    ShowWindow(window_handle, SW_SHOW);
    return true;
}

const BufferSource window_frame_source = obtain_frame_section;

void present_frame(const std::uint32_t* pixels, const PixelRect& changed) {
    const FrameSection* section = section_of(pixels);
    if (section == nullptr) return;
    const PixelRect put = contents_lost ? PixelRect{0, 0, frame_width, frame_height} : changed;
    contents_lost = false;
    if (put.empty()) return;  // the window shows this frame already
    // The same rectangle of the same size: a 1:1 copy, nothing stretched.
    BitBlt(device_context, put.left, put.top, put.right - put.left, put.bottom - put.top, section->memory_context,
           put.left, put.top, SRCCOPY);
}

bool wait_until_drawable(const std::uint32_t*, std::string*) {
    // GDI may hold the BitBlt in its batch, still to read the section: it is
    // done once the batch is flushed.
    GdiFlush();
    return true;
}

std::string presenting_way() { return "GDI DIB sections (BitBlt)"; }

void sleep_one_millisecond() { Sleep(1); }

EventOutcome handle_one_event() {
    // One call takes the message off the queue: each call is a trip to the
    // window system (under Wine, to its server).
    if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) return EventOutcome::go_on;
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
