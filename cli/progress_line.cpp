#include "cli/progress_line.hpp"

#include <algorithm>

namespace qm5::cli {

namespace {

// A terminal of the usual 80 columns, less one: a line that fills the last
// column wraps on some terminals, and "\r" would then go back to the wrong row.
constexpr std::size_t kLineWidth = 79;
constexpr auto kRedraw = std::chrono::milliseconds(100);

std::string stageName(const ProgressState& state) {
    switch (state.stage) {
        case Stage::reading: return "reading";
        case Stage::palette: return "palette";
        case Stage::mipmaps: return "mipmaps";
        case Stage::compressing:
            return "compressing image " + std::to_string(state.image + 1) + " of " + std::to_string(state.images);
        case Stage::ordering: return "choosing the palette order";
        case Stage::writing: return "writing";
    }
    return "";
}

// "0:35", "12:05", "1:02:03"
std::string clock(double seconds) {
    const auto whole = static_cast<std::uint64_t>(std::max(0.0, seconds) + 0.5);
    char text[32];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%llu:%02u:%02u", static_cast<unsigned long long>(whole / 3600),
                      static_cast<unsigned>(whole / 60 % 60), static_cast<unsigned>(whole % 60));
    } else {
        std::snprintf(text, sizeof text, "%u:%02u", static_cast<unsigned>(whole / 60), static_cast<unsigned>(whole % 60));
    }
    return text;
}

}  // namespace

std::string formatProgress(const ProgressState& state, std::size_t width) {
    const double fraction = std::clamp(state.fraction, 0.0, 1.0);
    std::string tail = ": " + stageName(state) + ", " + std::to_string(static_cast<int>(fraction * 100)) + " %";
    if (state.seconds >= 1 && fraction < 1) {
        // The rate so far, carried to the end of the stage.
        tail += fraction > 0 ? ", " + clock(state.seconds * (1 - fraction) / fraction) + " left"
                             : ", " + clock(state.seconds) + " so far";
    }
    if (state.runLeft >= 0) tail += "; all " + clock(state.runLeft) + " left";
    // The input's place among several ("[3/20] ") stays; the name gives way.
    const std::size_t close = state.label.starts_with("[") ? state.label.find("] ") : std::string::npos;
    const std::string place = close == std::string::npos ? std::string() : state.label.substr(0, close + 2);
    std::string label = state.label.substr(place.size());
    if (place.size() + label.size() + tail.size() > width) {
        const std::size_t used = place.size() + tail.size() + 3;
        const std::size_t room = width > used ? width - used : 0;
        label = "..." + label.substr(label.size() - std::min(room, label.size()));
    }
    label = place + label;
    std::string line = label + tail;
    if (line.size() > width) line.resize(width);
    return line;
}

ProgressLine::ProgressLine(std::FILE* terminal) : terminal_(terminal), thread_([this] { run(); }) {}

ProgressLine::~ProgressLine() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        erase();
    }
    wake_.notify_all();
    thread_.join();
}

void ProgressLine::startRun(std::uint64_t weight) {
    std::lock_guard lock(mutex_);
    runWeight_ = weight;
    doneWeight_ = 0;
    runStart_ = Clock::now();
    lastFinish_ = runStart_;
}

void ProgressLine::start(std::string label, std::uint64_t weight) {
    std::lock_guard lock(mutex_);
    active_ = true;
    state_ = ProgressState{};
    state_.label = std::move(label);
    weight_ = weight;
    stageStart_ = Clock::now();
}

void ProgressLine::finish() {
    std::lock_guard lock(mutex_);
    active_ = false;
    doneWeight_ += weight_;
    weight_ = 0;
    lastFinish_ = Clock::now();
    erase();
}

void ProgressLine::message(const std::string& text) {
    std::lock_guard lock(mutex_);
    erase();
    std::fputs(text.c_str(), terminal_);
    std::fflush(terminal_);
}

void ProgressLine::begin(Stage stage, std::uint32_t image, std::uint32_t images) {
    std::lock_guard lock(mutex_);
    state_.stage = stage;
    state_.image = image;
    state_.images = images;
    state_.fraction = 0;
    stageStart_ = Clock::now();
}

void ProgressLine::advance(std::uint64_t done, std::uint64_t total) {
    if (total == 0) return;
    const double fraction = static_cast<double>(std::min(done, total)) / static_cast<double>(total);
    std::lock_guard lock(mutex_);
    // A stage reported in more than one way (an engine's pass, then its
    // records) never goes back.
    state_.fraction = std::max(state_.fraction, fraction);
}

void ProgressLine::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        wake_.wait_for(lock, kRedraw, [this] { return stopping_; });
        if (!stopping_ && active_) draw();
    }
}

void ProgressLine::draw() {
    const Clock::time_point now = Clock::now();
    state_.seconds = std::chrono::duration<double>(now - stageStart_).count();
    // The rate of the inputs done, carried over the rest, less the time the
    // one under way has had; unknown until one is done.
    state_.runLeft = -1;
    if (doneWeight_ > 0 && runWeight_ > doneWeight_) {
        const double rate = std::chrono::duration<double>(lastFinish_ - runStart_).count() / static_cast<double>(doneWeight_);
        const double since = std::chrono::duration<double>(now - lastFinish_).count();
        state_.runLeft = std::max(0.0, rate * static_cast<double>(runWeight_ - doneWeight_) - since);
    }
    const std::string line = formatProgress(state_, kLineWidth);
    if (shown_ != 0 && line == last_) return;
    last_ = line;
    // Spaces cover what is left of a longer line before.
    const std::size_t pad = shown_ > line.size() ? shown_ - line.size() : 0;
    std::fprintf(terminal_, "\r%s%*s", line.c_str(), static_cast<int>(pad), "");
    if (pad > 0) std::fprintf(terminal_, "\r%s", line.c_str());
    std::fflush(terminal_);
    shown_ = line.size();
}

void ProgressLine::erase() {
    if (shown_ == 0) return;
    std::fprintf(terminal_, "\r%*s\r", static_cast<int>(shown_), "");
    std::fflush(terminal_);
    shown_ = 0;
}

}  // namespace qm5::cli
