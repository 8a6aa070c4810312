#include "app/presenter.h"

int CopiedBuffers::make(FrameSize size, int wanted, std::string* reason) {
    give_back();
    const std::size_t bytes = std::size_t{size.width} * size.height * 4;
    const int count = wanted < 2 ? 1 : 2;
    for (int i = 0; i < count; ++i) {
        blocks_[i].pixels = static_cast<std::uint32_t*>(obtain_heap_buffer(bytes));
        if (blocks_[i].pixels == nullptr) {
            // One buffer is enough to show frames, drawn one after the other.
            if (i > 0) break;
            *reason = "The frame buffer, " + std::to_string(bytes) + " bytes for a " + std::to_string(size.width) +
                      " x " + std::to_string(size.height) + " frame, could not be had.";
            return 0;
        }
        count_ = i + 1;
    }
    size_ = size;
    return count_;
}

void CopiedBuffers::give_back() {
    for (Block& block : blocks_) {
        give_back_heap_buffer(block.pixels);
        block = Block{};
    }
    count_ = 0;
    size_ = {0, 0};
}

std::uint32_t* CopiedBuffers::take() {
    for (int i = 0; i < count_; ++i) {
        if (blocks_[i].taken) continue;
        blocks_[i].taken = true;
        return blocks_[i].pixels;
    }
    return nullptr;
}

bool CopiedBuffers::release(const std::uint32_t* pixels) {
    for (int i = 0; i < count_; ++i) {
        if (blocks_[i].pixels != pixels || !blocks_[i].taken) continue;
        blocks_[i].taken = false;
        return true;
    }
    return false;
}
