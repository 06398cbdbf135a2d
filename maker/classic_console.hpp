#pragma once
// qm5_maker's console while a texture is encoded: the lines of the palette
// and mipmap stages (which print to console()), each step of the writing
// stage as the encode's observer hears of it, and at the end the maker's
// report of a failure (" ERROR : ..." and a wait for one character).

#include <cstdint>

#include "maker/console.hpp"
#include "maker/encoder.hpp"

namespace qm5 {

class ClassicConsole final : public EncodeObserver {
public:
    explicit ClassicConsole(Console& console) : console_(console) {}

    Console* console() override { return &console_; }
    void writing() override;
    void writingHeader() override;
    void writingPalette() override;
    void writingPlainImages() override;
    void plainImageWritten(std::uint32_t image) override;
    void compressingImages() override;
    void recordMade(std::uint32_t image, std::uint32_t colour, std::uint32_t colours, std::uint64_t imageBytes,
                    std::uint64_t pixels) override;
    void imageCompressed(std::uint32_t image) override;
    void finished(const EncodeResult& result) override;

private:
    Console& console_;
};

}  // namespace qm5
