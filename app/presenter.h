// A presenter shows the frames in a window, and owns the memory the engine
// draws them into: X shared-memory images, GDI DIB sections, Wayland wl_shm
// buffers, the page's buffers, or plain memory copied into SDL's window
// surface. The frame step (frame_step.h) is its only user.
//
// Ownership. The frame buffers are the presenter's, from make_buffers until
// the next make_buffers or the presenter's end: it alone frees them, after
// the display has let go of them. start_system never frees them (it owns
// only the depth buffer), and the presenter frees nothing of start_system's.
//
// Who may write a buffer when. A buffer is in one of three hands:
//   free     nobody reads or writes it;
//   taken    take_buffer handed it to the frame step: the engine alone
//            writes it, until the step presents it;
//   shown    present gave it to the display, which may read it until the
//            presenter finds it free again (a completion, a release, a flush).
// take_buffer hands out only free buffers, waiting for the display if none
// is, so the engine never draws into pixels the display is reading. A taken
// buffer holds the last frame drawn into it, and outside that frame's faces
// it is black: buffers are zero-filled when made and only the engine writes
// them. The presenter writes into no buffer but when making it.
//
// Resizes and lost windows. make_buffers for a new size first waits until
// the display is done with the old buffers, then frees them, taken ones
// too: the step calls it with no frame being drawn, and keeps none of the
// old buffers. A window that lost
// what it showed (uncovered, restored, resized) is the presenter's to notice:
// its next present puts the whole frame, not only `changed`. A failure to
// show (the window gone, the display silent, a buffer refused) is reported
// with one line, never ignored: the program then ends with that reason.
//
// Threads: the thread that runs the frame step (the main thread, or the
// page's Worker) calls every member.
#pragma once

#include <cstdint>
#include <string>

#include "app/startup.h"
#include "pipeline/frame.h"

class Presenter {
  public:
    virtual ~Presenter() = default;

    // Makes the buffers for frames of `size`, after giving back those made
    // before: enough that `wanted` of them can be taken at once (1 for an
    // engine that draws in the foreground, 2 for one that draws the next
    // frame while this one is shown), more where the display may hold some
    // for a while. Returns how many can be taken at once, 1 or 2 (fewer than
    // wanted when no more can be had); 0 when none can be had, with one line
    // in `reason`.
    virtual int make_buffers(FrameSize size, int wanted, std::string* reason) = 0;

    // A free buffer, now taken: width x height pixels 0x00RRGGBB, rows from
    // the top down, no padding, page-aligned. Waits while the display reads
    // every buffer not taken. nullptr when frames can no longer be shown,
    // with one line in `reason`.
    virtual std::uint32_t* take_buffer(std::string* reason) = 0;

    // Shows the taken buffer `pixels` in the window at 1:1 without waiting
    // for the display's refresh. Outside `changed` the window already shows
    // this frame's pixels, so only `changed` need reach it, unless the window
    // lost what it showed. The buffer is then shown, and free again once the
    // display is done with it. False when frames can no longer be shown, with
    // one line in `reason`.
    virtual bool present(std::uint32_t* pixels, const PixelRect& changed, std::string* reason) = 0;

    // How the frames reach the window, in a few words for --timing.
    virtual std::string way() const = 0;
};

// Buffers of plain memory, for presenters that copy every frame out of them
// (the page's canvas, the tests): page-aligned, zero-filled heap blocks, free
// again as soon as they are presented.
class CopiedBuffers {
  public:
    CopiedBuffers() = default;
    ~CopiedBuffers() { give_back(); }
    CopiedBuffers(const CopiedBuffers&) = delete;
    CopiedBuffers& operator=(const CopiedBuffers&) = delete;

    // As Presenter::make_buffers, never more than `wanted` (up to 2).
    int make(FrameSize size, int wanted, std::string* reason);
    void give_back();

    // A buffer not taken, now taken; nullptr when every one is.
    std::uint32_t* take();
    // The taken buffer is free again; false for one that is not taken.
    bool release(const std::uint32_t* pixels);

    FrameSize size() const { return size_; }

  private:
    struct Block {
        std::uint32_t* pixels = nullptr;
        bool taken = false;
    };
    Block blocks_[2];
    int count_ = 0;
    FrameSize size_{0, 0};
};
