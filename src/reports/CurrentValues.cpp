#include "reports/CurrentValues.h"

#include "common/DataRoot.h"
#include "common/ProfileFile.h"
#include "common/RegionalFormat.h"
#include "registry/Registry.h"
#include "storage/ArchiveFiles.h"
#include "storage/MeterTables.h"

#include <QFile>

#include <memory>

namespace qst {

namespace {

struct Formatted
{
    const char *key;
    const char16_t *pattern;
};

const Formatted kNumbers[] = {
    {"Q1", u"0.####"},         {"Q2", u"0.####"},         {"G1", u"0.####"},  {"G2", u"0.####"},
    {"M11", u"0.###"},         {"M21", u"0.###"},         {"M12", u"0.###"},  {"M22", u"0.###"},
    {"Fm11", u"0.###"},        {"Fm21", u"0.###"},        {"Fm12", u"0.###"}, {"Fm22", u"0.###"},
    {"V11", u"0.###"},         {"V21", u"0.###"},         {"V12", u"0.###"},  {"V22", u"0.###"},
    {"Fv11", u"0.###"},        {"Fv21", u"0.###"},        {"Fv12", u"0.###"}, {"Fv22", u"0.###"},
    {"T11", u"0.##"},          {"T21", u"0.##"},          {"T12", u"0.##"},   {"T22", u"0.##"},
    {"P11", u"0.###"},         {"P21", u"0.###"},         {"P12", u"0.###"},  {"P22", u"0.###"},
    {"Tw1", u"0.##"},          {"Tw2", u"0.##"},          {"Ts1", u"0.##"},   {"Ts2", u"0.##"},
    {"V3", u"0.###"},          {"Fv3", u"0.###"},         {"TCold_Summer", u"0.##"},
    {"TCold_Winter", u"0.##"}, {"Tw3", u"0.##"},          {"Ts3", u"0.##"},
};

const char *const kLimitKeys[] = {"GMin1", "GMin2", "GMax1", "GMax2", "Tnorm1", "Tnorm2", "Tmin1", "Tmin2",
                                  "Tmax1", "Tmax2", "Tdt1",  "Tdt2",  "Tep1",   "Tep2",   "Tf1",   "Tf2"};

const CurrentValueRow kSystem1[] = {
    {u"Q (ГКал)", "Q1"},       {u"G (ГКал/ч)", "G1"},     {u"М1 (тонн)", "M11"},   {u"М2 (тонн)", "M12"},
    {u"Fm1 (тонн/ч)", "Fm11"}, {u"Fm2 (тонн/ч)", "Fm12"}, {u"V1 (м^3)", "V11"},    {u"V2 (м^3)", "V12"},
    {u"Fv1 (м^3/ч)", "Fv11"},  {u"Fv2 (м^3/ч)", "Fv12"},  {u"Т1 (°С)", "T11"},     {u"Т2 (°С)", "T12"},
    {u"P1 (кгс/см^2)", "P11"}, {u"P2 (кгс/см^2)", "P12"}, {u"Траб (час)", "Tw1"}, {u"Тост (час)", "Ts1"},
    {u"НС", "NS1"},            {u"Схема", "Scheme1"}};
const CurrentValueRow kSystem2[] = {
    {u"Q (ГКал)", "Q2"},       {u"G (ГКал/ч)", "G2"},     {u"М3 (тонн)", "M21"},   {u"М4 (тонн)", "M22"},
    {u"Fm3 (тонн/ч)", "Fm21"}, {u"Fm4 (тонн/ч)", "Fm22"}, {u"V3 (м^3)", "V21"},    {u"V4 (м^3)", "V22"},
    {u"Fv3 (м^3/ч)", "Fv21"},  {u"Fv4 (м^3/ч)", "Fv22"},  {u"Т3 (°С)", "T21"},     {u"Т4 (°С)", "T22"},
    {u"P3 (кгс/см^2)", "P21"}, {u"P4 (кгс/см^2)", "P22"}, {u"Траб (час)", "Tw2"}, {u"Тост (час)", "Ts2"},
    {u"НС", "NS2"},            {u"Схема", "Scheme2"}};
const CurrentValueRow kCold[] = {{u"Vхв (м^3)", "V3"},
                                 {u"Fv (м^3/ч)", "Fv3"},
                                 {u"tхв дог. лето (°С)", "TCold_Summer"},
                                 {u"tхв дог. зима (°С)", "TCold_Winter"},
                                 {u"Траб (час)", "Tw3"},
                                 {u"Тост (час)", "Ts3"},
                                 {u"НС", "NS3"}};
const CurrentValueRow kLimits[] = {{u"GMin (м^3/ч)", "GMin"}, {u"GMax (м^3/ч)", "GMax"}, {u"Тшт (ч)", "Tnorm"},
                                   {u"Тmin (ч)", "Tmin"},     {u"Тmax (ч)", "Tmax"},     {u"Тdt (ч)", "Tdt"},
                                   {u"Тэп (ч)", "Tep"},       {u"Тф (ч)", "Tf"}};

} // namespace

CurrentValuesView LoadCurrentValuesView(const QString &dataRoot, Registry &registry, int meter)
{
    const QString section = MeterSection(meter);
    const QString serialText = registry.file().ReadString(section, reg::kSerial);

    // Without a valid serial no file is named: every box shows its default.
    std::unique_ptr<ProfileFile> file;
    quint16 serial = 0;
    if (ParseSerial(serialText, &serial)) {
        const QString path = DataFilePath(dataRoot, DataKind::CurrentValues, serial);
        if (QFile::exists(path))
            file = std::make_unique<ProfileFile>(path);
    }
    auto text = [&](const QString &key) { return file ? file->ReadString(kCurrDataSection, key) : QString(); };
    auto real = [&](const QString &key, double def) {
        return file ? file->ReadReal(kCurrDataSection, key, def) : def;
    };

    CurrentValuesView view;
    view.texts.insert(QStringLiteral("DT"), text(QStringLiteral("DT")));
    for (const Formatted &f : kNumbers) {
        const QString key = QString::fromLatin1(f.key);
        view.texts.insert(key, FormatPattern(real(key, 0), QStringView(f.pattern)));
    }
    for (const char *ns : {"NS1", "NS2", "NS3"})
        view.texts.insert(QString::fromLatin1(ns), text(QString::fromLatin1(ns)));
    view.texts.insert(QStringLiteral("Scheme1"),
                      SchemeName(1, static_cast<int>(file ? file->ReadInteger(kCurrDataSection,
                                                                              QStringLiteral("Scheme1"), 0)
                                                          : 0)));
    view.texts.insert(QStringLiteral("Scheme2"),
                      SchemeName(2, static_cast<int>(file ? file->ReadInteger(kCurrDataSection,
                                                                              QStringLiteral("Scheme2"), 0)
                                                          : 0)));

    view.version = static_cast<int>(real(QStringLiteral("Version"), 1));
    if (view.version == 1) {
        const int du = static_cast<int>(registry.file().ReadInteger(section, reg::kDU, kDefaultDU));
        const int ratio = RangeRatio(static_cast<int>(registry.file().ReadInteger(section, reg::kClass, 0)));
        for (int system : {1, 2}) {
            float gmin = static_cast<float>(real(QStringLiteral("GMin%1").arg(system), 0));
            if (gmin == 0)
                gmin = MinFlowForDiameter(du);
            const float gmax = gmin * static_cast<float>(ratio);
            view.texts.insert(QStringLiteral("GMin%1").arg(system), FormatPattern(gmin, u"0.##"));
            view.texts.insert(QStringLiteral("GMax%1").arg(system), FormatPattern(gmax, u"0.##"));
        }
        view.allLimitsVisible = false;
    } else {
        for (const char *key : kLimitKeys) {
            const QString k = QString::fromLatin1(key);
            view.texts.insert(k, FormatPattern(real(k, 0), u"0.##"));
        }
        view.allLimitsVisible = true;
    }
    // Never read: no zeros and default limits that look like a reading.
    if (!file) {
        for (auto it = view.texts.begin(); it != view.texts.end(); ++it)
            it.value().clear();
        view.texts.insert(QStringLiteral("DT"), kNeverRead);
        view.read = false;
    }
    return view;
}

std::span<const CurrentValueRow> CurrentValueRows(CurrentValueGroup group)
{
    switch (group) {
    case CurrentValueGroup::System1:
        return kSystem1;
    case CurrentValueGroup::System2:
        return kSystem2;
    case CurrentValueGroup::ColdWater:
        return kCold;
    case CurrentValueGroup::Limits:
        break;
    }
    return kLimits;
}

QList<CurrentValueLine> CurrentValueLines(const CurrentValuesView &view)
{
    QList<CurrentValueLine> lines;
    if (!view.read)
        return lines;
    auto add = [&](const QString &group, std::span<const CurrentValueRow> rows, const QString &suffix) {
        for (const CurrentValueRow &row : rows) {
            const QString key = QString::fromLatin1(row.key) + suffix;
            lines.append({group, QString::fromUtf16(row.caption), view.Text(key)});
        }
    };
    const QString systems[] = {QStringLiteral("Тепловая система 1"), QStringLiteral("Тепловая система 2")};
    for (int system : {1, 2}) {
        add(systems[system - 1], CurrentValueRows(system == 1 ? CurrentValueGroup::System1 : CurrentValueGroup::System2),
            QString());
        std::span<const CurrentValueRow> limits = kLimits;
        if (!view.allLimitsVisible)
            limits = limits.first(kLimitsShownAlways);
        add(systems[system - 1], limits, QString::number(system));
    }
    add(QStringLiteral("ХВС"), kCold, QString());
    return lines;
}

QDateTime CurrentValuesTime(const CurrentValuesView &view)
{
    return view.read ? ParseDateTimeText(view.Text(QStringLiteral("DT"))) : QDateTime();
}

} // namespace qst
