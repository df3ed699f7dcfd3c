#pragma once

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <span>

namespace qst {

class Registry;

// What the current-values page shows for one meter, every box's text keyed by its file key
// ("DT", "Q1", ..., "Scheme1", "GMin1", "Tnorm2", ...).
struct CurrentValuesView
{
    QHash<QString, QString> texts;
    int version = 1;
    // Version 1: only GMin/GMax (computed) are shown, the other limits and the column titles are hidden.
    bool allLimitsVisible = false;
    // False until the meter's current values have been read once.
    bool read = true;

    QString Text(const QString &key) const { return texts.value(key); }
};

inline const QString kNeverRead = QStringLiteral("не считывались");

// Reads DATA/<serial>.dat of the meter (every value with its default) and, for version 1, DU
// and Class of the registry for the limits. A missing file or a serial that is not a number
// gives empty boxes and "не считывались" as the date.
CurrentValuesView LoadCurrentValuesView(const QString &dataRoot, Registry &registry, int meter);

// A row of the page: its caption with the unit and its file key (for limits the key's stem,
// the system's digit follows).
struct CurrentValueRow
{
    const char16_t *caption;
    const char *key;
};

enum class CurrentValueGroup { System1, System2, ColdWater, Limits };

std::span<const CurrentValueRow> CurrentValueRows(CurrentValueGroup group);
// Limits before this index are shown for version 1 too (GMin, GMax).
constexpr int kLimitsShownAlways = 2;

// One row as a list shows it: its group's title, caption and text.
struct CurrentValueLine
{
    QString group;
    QString name;
    QString value;
};

// The page as a list in the page's order: each heat system's rows and its visible limits, then
// cold water. Nothing for a meter never read.
QList<CurrentValueLine> CurrentValueLines(const CurrentValuesView &view);

// The time the values were received; invalid when never read or unreadable.
QDateTime CurrentValuesTime(const CurrentValuesView &view);

} // namespace qst
