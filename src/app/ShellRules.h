#pragma once

#include <QString>
#include <QStringList>

namespace qst {

class Registry;

// The message box's lines: LF or CR starts a new line, so CR LF leaves an empty line between.
QStringList MessageLines(const QString &text);

// Pixel sizes of the message box for n lines.
struct MessageLayout
{
    int memoHeight;
    int buttonsTop;
    int windowHeight;
};
MessageLayout MessageLayoutFor(int lines);
constexpr int kMessageWidth = 371;

// Which report page controls TypeRGClick shows for a heat system (0, 1, 2) and a kind (0..3).
struct ReportVisibility
{
    bool ts2;
    bool ts3;
    bool showInt;
    bool detail;
    bool breakPages;
};
ReportVisibility ReportVisibilityFor(int heatSystem, int kind);

// The main window's layout in section VISUAL.
struct VisualLayout
{
    int top = 0;
    int left = 0;
    int width = 1024;
    int height = 768;
    int sp1 = 800;
    int sp2 = 300;
};
VisualLayout ReadVisualLayout(Registry &registry);
void WriteVisualLayout(Registry &registry, const VisualLayout &layout);

constexpr int kLogPageMaxLines = 201;

} // namespace qst
