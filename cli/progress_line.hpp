#pragma once
// The qm5 command's progress display: one line on a terminal, redrawn in
// place at most ten times a second by a thread of its own, naming the
// input, the stage, the percentage done and, once a stage has run for a
// second, the time it has left:
//
//   logo.bmp: compressing image 1 of 3, 42 %, 0:35 left
//   [3/20] art/a/rock.png: choosing the palette order, 42 %, 0:35 left; all 4:10 left
//
// The stages report through the Progress interface as often as they like;
// what they report is only stored. Messages go through message(), which
// takes the line away first, so that nothing is ever drawn over a message.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "maker/progress.hpp"

namespace qm5::cli {

// What the line shows at one moment.
struct ProgressState {
    std::string label;  // the input, perhaps with its place among several ("[2/5] sky.lst")
    Stage stage = Stage::reading;
    std::uint32_t image = 0;   // compressing: image (from 0) of images
    std::uint32_t images = 0;
    double fraction = 0;       // of the stage, 0 to 1
    double seconds = 0;        // since the stage began
    double runLeft = -1;       // seconds left for the whole run; negative: not known
};

// The line's text, at most width characters (the label is shortened from
// its start when needed): the stage with its percentage, and the time left
// for a stage that has run a second or more (the time so far while nothing
// has been done).
std::string formatProgress(const ProgressState& state, std::size_t width);

class ProgressLine final : public Progress {
public:
    explicit ProgressLine(std::FILE* terminal);
    ~ProgressLine() override;
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // A run of several inputs begins: weight, the sum of theirs, gives the
    // time left for the whole run from the rate of the inputs done.
    void startRun(std::uint64_t weight);
    // A new input begins; its stages follow.
    void start(std::string label, std::uint64_t weight = 0);
    // The input is done: the line goes away until the next start().
    void finish();
    // Writes text (a whole message, line end included) with the line taken
    // away first; it comes back at the next redraw.
    void message(const std::string& text);

    void begin(Stage stage, std::uint32_t image, std::uint32_t images) override;
    void advance(std::uint64_t done, std::uint64_t total) override;

private:
    using Clock = std::chrono::steady_clock;
    void run();
    void draw();   // with mutex_ held
    void erase();  // with mutex_ held

    std::FILE* terminal_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool active_ = false;       // an input is under way
    ProgressState state_;
    Clock::time_point stageStart_;
    Clock::time_point runStart_;
    Clock::time_point lastFinish_;
    std::uint64_t runWeight_ = 0;   // of all inputs of the run
    std::uint64_t doneWeight_ = 0;  // of the inputs finished
    std::uint64_t weight_ = 0;      // of the input under way
    std::size_t shown_ = 0;     // characters of the line on the terminal now
    std::string last_;          // the text drawn last
    std::thread thread_;
};

}  // namespace qm5::cli
