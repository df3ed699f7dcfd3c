#pragma once

#include <QHash>
#include <QString>

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

} // namespace qst
