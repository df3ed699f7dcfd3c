#include "CurrentValuesData.h"

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

} // namespace qst
