#include "ShellRules.h"

#include "registry/Registry.h"

namespace qst {

QStringList MessageLines(const QString &text)
{
    QStringList lines{QString()};
    for (QChar c : text) {
        if (c == u'\n' || c == u'\r')
            lines.append(QString());
        else
            lines.last().append(c);
    }
    return lines;
}

MessageLayout MessageLayoutFor(int lines)
{
    return {17 * lines, 17 * lines + 31, 17 * lines + 66};
}

ReportVisibility ReportVisibilityFor(int heatSystem, int kind)
{
    const bool cold = heatSystem == 2;
    if (kind == 3)
        return {false, false, false, false, false};
    return {!cold, cold, true, kind == 0, true};
}

VisualLayout ReadVisualLayout(Registry &registry)
{
    ProfileFile &ini = registry.file();
    VisualLayout v;
    v.top = static_cast<int>(ini.ReadInteger(reg::kVisual, QStringLiteral("Top"), v.top));
    v.left = static_cast<int>(ini.ReadInteger(reg::kVisual, QStringLiteral("Left"), v.left));
    v.width = static_cast<int>(ini.ReadInteger(reg::kVisual, QStringLiteral("Width"), v.width));
    v.height = static_cast<int>(ini.ReadInteger(reg::kVisual, QStringLiteral("Height"), v.height));
    // The log pane takes a fifth of the window until the operator sizes it.
    v.sp1 = static_cast<int>(ini.ReadInteger(reg::kVisual, QStringLiteral("SP1"), v.height * 4 / 5));
    v.sp2 = static_cast<int>(ini.ReadInteger(reg::kVisual, QStringLiteral("SP2"), v.sp2));
    return v;
}

void WriteVisualLayout(Registry &registry, const VisualLayout &v)
{
    registry.file().WriteStrings(reg::kVisual, {{QStringLiteral("Top"), QString::number(v.top)},
                                                {QStringLiteral("Left"), QString::number(v.left)},
                                                {QStringLiteral("Width"), QString::number(v.width)},
                                                {QStringLiteral("Height"), QString::number(v.height)},
                                                {QStringLiteral("SP1"), QString::number(v.sp1)},
                                                {QStringLiteral("SP2"), QString::number(v.sp2)}});
}

} // namespace qst
