// libFuzzer harness: ratestat's reader over any text. The text is read twice,
// through the default window and through a narrow one in reads of a few bytes;
// a narrow window can only refuse a long number sooner, so where it accepts
// the whole text both must agree to the bit. The figures must be figures of
// speeds: finite, not negative, the lowest no higher than the highest.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "ratestat/ratestat_core.h"

namespace {

using namespace ratestat;

void require(bool condition) {
    if (!condition) std::abort();
}

// Hands the text out a few bytes at a time.
class TrickleTextSource : public TextSource {
  public:
    explicit TrickleTextSource(std::string_view text) : text_(text) {}
    std::size_t read(char* buffer, std::size_t capacity) override {
        const std::size_t count = std::min({capacity, text_.size(), std::size_t{1} + calls_++ % 5});
        std::memcpy(buffer, text_.data(), count);
        text_.remove_prefix(count);
        return count;
    }

  private:
    std::string_view text_;
    std::size_t calls_ = 0;
};

bool same_figures(const SpeedFileContents& a, const SpeedFileContents& b) {
    return a.bad_line == b.bad_line && a.blank == b.blank &&
           a.statistics.count == b.statistics.count &&
           std::memcmp(&a.statistics.speed_sum, &b.statistics.speed_sum, sizeof(double)) == 0 &&
           std::memcmp(&a.statistics.minimum, &b.statistics.minimum, sizeof(double)) == 0 &&
           std::memcmp(&a.statistics.maximum, &b.statistics.maximum, sizeof(double)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const SpeedFileContents wide = read_speed_lines(text);
    TrickleTextSource trickle(text);
    const SpeedFileContents narrow = read_speed_lines(trickle, 24);

    require(!wide.read_failed && !narrow.read_failed);
    if (narrow.bad_line == 0) require(same_figures(narrow, wide));
    if (wide.bad_line != 0) require(narrow.bad_line != 0 && narrow.bad_line <= wide.bad_line);
    require(!(wide.blank && wide.bad_line != 0));

    const SpeedStatistics& statistics = wide.statistics;
    if (wide.bad_line == 0 && !wide.blank) {
        require(statistics.count > 0);
        require(std::isfinite(statistics.minimum) && std::isfinite(statistics.maximum));
        require(!std::signbit(statistics.minimum) && statistics.minimum <= statistics.maximum);
        // The sum of finite speeds may still overflow to infinity; the average
        // and WPP are then infinite too, never NaN.
        require(!std::isnan(average_speed(statistics)));
        require(!std::isnan(wpp(statistics, 1000.0)));
    }
    return 0;
}
