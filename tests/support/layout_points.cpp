// Prints the window's layout as shell assignments for scripts/xsession.sh to eval: the pattern
// that finds the tester's window, its outer rectangle, and the points to click.
#include "looptest/layout.h"
#include "tests/support/xsession.h"

#include <cstdio>

namespace {

// `text` in single quotes, as the shell reads it back.
QByteArray quoted(const QString &text)
{
    return "'" + text.toUtf8().replace("'", "'\\''") + "'";
}

void print(const char *name, int value)
{
    std::printf("%s=%d\n", name, value);
}

} // namespace

int main()
{
    std::printf("layout_title_pattern=%s\n",
                quoted(XSession::titlePattern(QString::fromUtf8(Layout::caption))).constData());
    print("layout_window_x", Layout::form.x());
    print("layout_window_y", Layout::form.y());
    print("layout_window_width", Layout::form.width());
    print("layout_window_height", Layout::form.height());
    print("layout_start_stop_x", Layout::startStopClick.x());
    print("layout_start_stop_y", Layout::startStopClick.y());
    print("layout_period_arrow_x", Layout::periodArrowClick.x());
    print("layout_period_arrow_y", Layout::periodArrowClick.y());
    return 0;
}
