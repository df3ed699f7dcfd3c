#pragma once

#include <QString>

// The texts of the report tables, kept together so they can be checked in one place.
namespace qst::texts {

inline const QString kDateCell = QStringLiteral("Дата");
inline const QString kNoValue = QStringLiteral("---");
inline const QString kTotalRow = QStringLiteral("Итого");
inline const QString kMeanRow = QStringLiteral("Среднее");
// A statement day without a stored record, and a journal period without entries.
inline const QString kNoData = QStringLiteral("нет данных");
inline const QString kNoEntries = QStringLiteral("записей нет");
inline const QString kStartAfterEnd = QStringLiteral("Дата начала должна быть меньше даты конца отчетного периода!");
QString EndTooLate(const QString &newestText);
// The archive of the report's kind holds no record at all.
inline const QString kNoArchiveData = QStringLiteral("В архиве прибора нет данных для отчета!");

// The journal protocol's header line, TAB after each cell.
QString JournalHeader();

// Header cell of a check item: cell 0, or cell 1 of the two-cell items 3 and 6.
QString HeaderCell(int heatSystem, int item, int cell);

// Name of bit 0..7 of the abnormal-situation word of row 1..5; empty where none.
QString FaultFlagName(int row, int bit);

// Integrator readings table.
QString IntegratorHeader(int heatSystem);
inline const QString kPreviousReadings = QStringLiteral("Предыдущие показания:");
inline const QString kCumulativeReadings = QStringLiteral("Нарастающий итог:");
inline const QString kReadingsResult = QStringLiteral("Итого:");

// Documents: protocols and the heat supply statement.
inline const QString kHourlyTitle = QStringLiteral("Часовой протокол учёта тепловой энергии воды");
inline const QString kDailyTitle = QStringLiteral("Суточный протокол учёта тепловой энергии воды");
inline const QString kMonthlyTitle = QStringLiteral("Месячный протокол учёта тепловой энергии воды");
inline const QString kJournalTitle = QStringLiteral("Журнал тепловычислителя");
inline const QString kPeriodFrom = QStringLiteral("за период с ");
inline const QString kPeriodTo = QStringLiteral(" по ");
inline const QString kConsumerName = QStringLiteral("Название потребителя: ");
inline const QString kPhone = QStringLiteral("Телефон: ");
inline const QString kAbonNo = QStringLiteral("Абонент №: ");
inline const QString kAddress = QStringLiteral("Адрес: ");
inline const QString kPerson = QStringLiteral("Ответственное за учёт лицо: ");
inline const QString kDU = QStringLiteral("ДУ: ");
inline const QString kHeatSystem = QStringLiteral("Тепловая система: ");
inline const QString kColdWaterSystem = QStringLiteral("TC 3 (ХВС)");
inline const QString kSystem1Prefix = QStringLiteral("TC 1 (");
inline const QString kSystem2Prefix = QStringLiteral("TC 2 (");
inline const QString kCalculator = QStringLiteral("Тепловычислитель: ");
inline const QString kDevice544 = QStringLiteral("QST-99M 5.4.4");
inline const QString kDevice54 = QStringLiteral("QST-99M 5.4");
inline const QString kSerialNo = QStringLiteral("Зав. №: ");
inline const QString kIntegratorsTitle = QStringLiteral("Показания интеграторов");
inline const QString kNormalWork = QStringLiteral("Период нормальной работы: ");
inline const QString kHoursSuffix = QStringLiteral("ч.");
inline const QString kNoCount = QStringLiteral("Период отсутствия счёта тепловой энергии: ");
inline const QString kSignature1 = QStringLiteral("Подпись ");
inline const QString kSignature2 = QStringLiteral("Подпись");
inline const QString kConsumer = QStringLiteral("Потребителя");
inline const QString kSupplier = QStringLiteral("Поставщика");
inline const QString kFault1 = QStringLiteral("Неисправность (1)");
inline const QString kFault2 = QStringLiteral("Неисправность (2)");
inline const QString kOverwriteQuestion = QStringLiteral("Указанный файл существует. Перезаписать?");
inline const QString kStatementTitle = QStringLiteral("Ведомость учета отпуска тепловой энергии в системе отопления");
inline const QString kStatementAbonNo = QStringLiteral("Поключен к абоненту №: ");
inline const QString kMeterType = QStringLiteral("Тип теплосчетчика: ");
inline const QString kGmin = QStringLiteral("Наименьший расход теплоносителя Gmin=");
inline const QString kFlowUnit = QStringLiteral(" м^3/ч");
inline const QString kMeterNumber = QStringLiteral("Номер теплосчетчика: ");
inline const QString kGmax = QStringLiteral("Наибольший расход теплоносителя Gmax=");
inline const QString kHeadingHeat = QStringLiteral("Тепловая энергия по показаниям теплосчетчика за сутки, Qи, ГКал");
inline const QString kHeadingMass = QStringLiteral("Масса теплоносителя за сутки, М, т(м^3)");
inline const QString kHeadingTemperature = QStringLiteral("Температура теплоносителя, °С, средневзвешенная");
inline const QString kHeadingPressure = QStringLiteral("Давление теплоносителя, МПа");
inline const QString kHeadingTime = QStringLiteral("Время, ч");
// Told to the operator with a finished document.
inline const QString kNoteNumbersSplit = QStringLiteral(
    "Числа не помещаются в узкие столбцы таблицы даже шрифтом 6 пт и будут перенесены; выберите альбомную ориентацию или меньше столбцов.");
inline const QString kNoteReplacedCharacters = QStringLiteral("Управляющие символы в тексте заменены пробелами: %1.");
inline const QString kDowntimeFormula = QStringLiteral("Топ = Траб + Тmax + Тmin + Тdt + Тош");
inline const QString kPeriodHours = QStringLiteral("Время отчетного периода Т,ч ");
inline const QString kWorkHours = QStringLiteral("Время работы теплосчетчика Т,ч ");
inline const QString kDowntimePrefix = QStringLiteral("Топ = ");
inline const QString kReadingsPrevious = QStringLiteral("На 24-00 последнего дня предыдущего периода");
inline const QString kReadingsCurrent = QStringLiteral("На 24-00 последнего дня данного периода");
inline const QString kReadingsResultHeading = QStringLiteral("Результат за период");
inline const QString kReadingsHeat = QStringLiteral("Тепловая энегрия, ГКал");
inline const QString kReadingsMass1 = QStringLiteral("Масса в подающем трубопроводе, т");
inline const QString kReadingsMass2 = QStringLiteral("Масса в обратном трубопроводе, т");
inline const QString kReadingsWork = QStringLiteral("Время нормальной работы Траб, ч");
inline const QString kReadingsStop = QStringLiteral("Время неработы Тmax + Тmin + Тdt + Т ош, ч");
inline const QString kConsumerRepresentative = QStringLiteral("Представитель потребителя _______________________________________");
inline const QString kSupplierRepresentative = QStringLiteral("Представитель теплоснабжающей организации _______________________________________");

// The statement's header-line labels: a text containing the first is replaced whole by the
// second; tried in this order.
struct LabelReplacement
{
    const char16_t *contains;
    const char16_t *label;
};
inline constexpr LabelReplacement kStatementLabels[] = {
    {u"M1 тонн", u"Подающий трубопровод М1"},
    {u"M2 тонн", u"Обратный трубопровод М2"},
    {u"+(M1", u"+dМ"},
    {u"-(M1", u"-dМ"},
    {u"T1-T2", u"Разность температур dt=t1-t2"},
    {u"T1 °C", u"Подающий трубопровод t1"},
    {u"T2 °C", u"Обратный трубопровод t2"},
    {u"P1", u"Подающий"},
    {u"P2", u"Обратный"},
    {u"ВНР", u"Траб"},
    {u"ВОС", u"Тнc=\rTmax+Tmin+\r+Tdt+Tош"},
};

} // namespace qst::texts
