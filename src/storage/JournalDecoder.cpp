#include "JournalDecoder.h"

#include "common/DayCount.h"

#include <QDate>
#include <QTime>

#include <charconv>
#include <cstring>
#include <initializer_list>
#include <span>

namespace qst {

namespace {

// --- The calculator's journal vocabulary, as operators and documents know it. ---

const QString kSkippedPage = QStringLiteral("Пропущ.страница");
const QString kErasedPage = QStringLiteral("Стертая страница");
const QString kBadTime = QStringLiteral("Некоректное время");
const QString kPageFiller = QStringLiteral("xxxx");
const QString kYes = QStringLiteral("Да");
const QString kNo = QStringLiteral("Нет");
const QString kUnknownParameter = QStringLiteral("Неизвестный параметр");

using List = std::initializer_list<const char16_t *>;

const List kPeriods = {u"ЛЕТНИЙ", u"ЗИМНИЙ"};
const List kSchemes1 = {u"ОТОПЛ_1", u"ОТОПЛ_2", u"ОТОПЛ_12", u"ОТОПЛ_21", u"ЦИРК_ГВС",
                        u"ТУП_ГВС", u"ХВС",     u"ИСТ_1",    u"ИСТ_2"};
const List kSchemes2 = {u"ВЫКЛ", u"ОТОПЛ_1", u"ОТОПЛ_2", u"ОТОПЛ_12", u"ОТОПЛ_21", u"ЦИРК_ГВС", u"ТУП_ГВС", u"ХВС"};
const List kUnits = {u"ГКАЛ", u"ГДЖ"};
const List kSensors = {u"Pt100 (1.385)", u"100П (1.391)", u"Pt500 (1.385)", u"500П (1.391)"};
const List kPressureSensors = {u"Договорное", u"6 кгс/см2", u"6.3 кгс/см2", u"10 кгс/см2", u"16 кгс/см2", u"25 кгс/см2"};
const List kCurrents = {u"0..5 мА", u"4..20 мА"};
const List kStopModes = {u"Продолжать счет по раб.каналам", u"Останавливать счет V,M",
                         u"Останавливать счет V,M / P,t = 0"};
const List kReactDt = {u"Регистрация НС", u"Останов ТС"};
const List kReactPD = {u"Исп. договорное значение", u"Останов ТС"};
const List kReactPR = {u"Регистрация НС", u"Останов если исп.в расчете Q", u"Останов ТС"};
const List kReactGpor = {u"Нет теста", u"Регистрация НС", u"Gv = Gпор", u"Gv = 0", u"Останов ТС"};
const List kReactGmin1 = {u"Нет теста", u"Регистрация НС", u"Gv = 0", u"Останов ТС"};
const List kReactGots = {u"Нет теста", u"Регистрация НС", u"Gv = 0", u"Останов ТС"};
const List kReactGmin2 = {u"Нет теста", u"Регистрация НС", u"Gv = Gmin", u"Gv = 0", u"Останов ТС"};
const List kReactGmax = {u"Нет теста", u"Регистрация НС", u"Gv = Gmax", u"Останов ТС"};
const List kReactImbalance = {u"Нет теста",
                              u"Нет реакции | Регистрация НС",
                              u"Мобр = Мпод | Регистрация НС",
                              u"Мобр=Мпод=0.5(Мобр+Мпод) | Рег.НС",
                              u"Нет реакции | Останов ТС",
                              u"Мобр = Мпод | Останов ТС",
                              u"Мобр=Мпод=0.5(Мобр+Мпод) | Останов ТС"};

const char16_t *const kUnitTonne = u" т";
const char16_t *const kUnitCubicMetre = u" м3";
const char16_t *const kUnitFlow = u" м3/ч";
const char16_t *const kUnitPulse = u" л/имп";

enum class Rule {
    AsTyped,
    ListRule,
    Units,
    DayMonth,
    Hours,
    Temperature,
    Pressure,
    Ratio,
};

struct Parameter
{
    const char16_t *text = nullptr;
    Rule rule = Rule::AsTyped;
    const List *list = nullptr;
    const char16_t *units = nullptr;
};

// Parameters 1..49, the same in both versions.
Parameter CommonParameter(int n)
{
    static const char16_t *const sensors[] = {u"НСХ ТСП t1", u"НСХ ТСП t2", u"НСХ ТСП t3", u"НСХ ТСП t4"};
    static const char16_t *const pressureSensors[] = {u"Датчик P1", u"Датчик P2", u"Датчик P3", u"Датчик P4"};
    static const char16_t *const currents[] = {u"Ток датчика P1", u"Ток датчика P2", u"Ток датчика P3",
                                               u"Ток датчика P4"};
    static const char16_t *const contractPressures[] = {u"Pдог1", u"Pдог2", u"Pдог3", u"Pдог4"};
    switch (n) {
    case 1: return {u"Режим РАБОТА"};
    case 2: return {u"Режим НАСТРОЙКА"};
    case 3: return {u"Режим КАЛИБРОВКА"};
    case 4: return {u"Текущее время"};
    case 5: return {u"Смена периода теплопотребления", Rule::ListRule, &kPeriods};
    case 16: return {u"Сброс архива"};
    case 17: return {u"Отчетный день месяца"};
    case 18: return {u"Период теплопотребления", Rule::ListRule, &kPeriods};
    case 19: return {u"Начало летнего периода", Rule::DayMonth};
    case 20: return {u"Начало зимнего периода", Rule::DayMonth};
    case 21: return {u"Схема ТС1", Rule::ListRule, &kSchemes1};
    case 22: return {u"Схема ТС2", Rule::ListRule, &kSchemes2};
    case 23: return {u"Дополнительный  канал V5"};
    case 24: return {u"Единица изм.тепл.энергии", Rule::ListRule, &kUnits};
    case 25: case 26: case 27: case 28: return {sensors[n - 25], Rule::ListRule, &kSensors};
    case 29: return {u"dt_мин1", Rule::Temperature};
    case 30: return {u"dt_мин2", Rule::Temperature};
    case 31: return {u"tхв летнее дог.", Rule::Temperature};
    case 32: return {u"tхв зимнее дог.", Rule::Temperature};
    case 33: case 34: case 35: case 36: return {pressureSensors[n - 33], Rule::ListRule, &kPressureSensors};
    case 37: case 38: case 39: case 40: return {currents[n - 37], Rule::ListRule, &kCurrents};
    case 41: case 42: case 43: case 44: return {contractPressures[n - 41], Rule::Pressure};
    case 45: return {u"Pхв договорное", Rule::Pressure};
    case 46: return {u"Останов ТС", Rule::ListRule, &kStopModes};
    case 47: return {u"Реакция dt<dt_мин", Rule::ListRule, &kReactDt};
    case 48: return {u"Реакция неисправность ПД", Rule::ListRule, &kReactPD};
    case 49: return {u"Реакция неисправность ПР", Rule::ListRule, &kReactPR};
    default: return {};
    }
}

// Parameters numbered 256.. that both versions share.
Parameter CountersParameter(int n)
{
    static const char16_t *const masses[] = {u"G1", u"G2", u"G3", u"G4"};
    static const char16_t *const volumes[] = {u"V1", u"V2", u"V3", u"V4", u"V5"};
    if (n == 256)
        return {u"Q1"};
    if (n == 257)
        return {u"Q2"};
    if (n >= 258 && n <= 261)
        return {masses[n - 258], Rule::Units, nullptr, kUnitTonne};
    if (n >= 262 && n <= 266)
        return {volumes[n - 262], Rule::Units, nullptr, kUnitCubicMetre};
    return {};
}

const char16_t *const kPulseWeights[] = {u"Вес импульса V1", u"Вес импульса V2", u"Вес импульса V3",
                                          u"Вес импульса V4", u"Вес импульса V5"};
const char16_t *const kI20[] = {u"I20_1", u"I20_2", u"I20_3", u"I20_4"};
const char16_t *const kOffsets[] = {u"I1_OFFSET", u"I2_OFFSET", u"I3_OFFSET", u"I4_OFFSET"};
const char16_t *const kResistors[] = {u"R100", u"R160", u"R500", u"R700"};
const char16_t *const kImbalance[] = {u"Реакция небаланс ТС1", u"Реакция небаланс ТС2"};

// The parameters from 50 on that both versions know, at a version's own offset.
Parameter SharedUpperParameter(int k)
{
    // k counts from "Реакция небаланс ТС1".
    if (k == 0 || k == 1)
        return {kImbalance[k], Rule::ListRule, &kReactImbalance};
    if (k == 2)
        return {u"Коэффициент небаланса расхода", Rule::Ratio};
    if (k >= 3 && k <= 6)
        return {kI20[k - 3]};
    if (k >= 7 && k <= 10)
        return {kOffsets[k - 7]};
    if (k >= 11 && k <= 14)
        return {kResistors[k - 11]};
    if (k >= 15 && k <= 19)
        return {kPulseWeights[k - 15], Rule::Units, nullptr, kUnitPulse};
    return {};
}

Parameter ParameterV1(int n)
{
    static const char16_t *const gpor[] = {u"Gпор1", u"Gпор2", u"Gпор3", u"Gпор4", u"Gпор5"};
    static const char16_t *const gmin[] = {u"Gмин1", u"Gмин2", u"Gмин3", u"Gмин4", u"Gмин5"};
    static const char16_t *const times[] = {u"Траб.ТС1", u"Тост.ТС1", u"Траб.ТС2", u"Тост.ТС2", u"Траб.V5",
                                            u"Тост.V5"};
    if (n < 50)
        return CommonParameter(n);
    if (n == 50)
        return {u"Реакция Gv<G_пор", Rule::ListRule, &kReactGpor};
    if (n == 51)
        return {u"Реакция Gv<G_мин", Rule::ListRule, &kReactGmin1};
    if (n >= 52 && n <= 71)
        return SharedUpperParameter(n - 52);
    if (n >= 72 && n <= 76)
        return {gpor[n - 72], Rule::Units, nullptr, kUnitFlow};
    if (n >= 77 && n <= 81)
        return {gmin[n - 77], Rule::Units, nullptr, kUnitFlow};
    if (n >= 256 && n <= 266)
        return CountersParameter(n);
    if (n >= 267 && n <= 272)
        return {times[n - 267], Rule::Hours};
    return {};
}

Parameter ParameterV2(int n)
{
    static const char16_t *const gots[] = {u"Gотс1", u"Gотс2", u"Gотс3", u"Gотс4", u"Gотс5"};
    static const char16_t *const gmin[] = {u"Gmin1", u"Gmin2", u"Gmin3", u"Gmin4", u"Gmin5"};
    static const char16_t *const gmax[] = {u"Gmax1", u"Gmax2", u"Gmax3", u"Gmax4", u"Gmax5"};
    static const char16_t *const times[] = {u"Тшт.ТС1", u"Тmin.ТС1", u"Тmax.ТС1", u"Тdt.ТС1", u"Тэп.ТС1",
                                            u"Тф.ТС1",  u"Тшт.ТС2",  u"Тmin.ТС2", u"Тmax.ТС2", u"Тdt.ТС2",
                                            u"Тэп.ТС2", u"Тф.ТС2",   u"Траб.V5",  u"Тост.V5"};
    if (n < 50)
        return CommonParameter(n);
    if (n == 50)
        return {u"Реакция Gv>G_max", Rule::ListRule, &kReactGmax};
    if (n == 51)
        return {u"Реакция Gv<G_min", Rule::ListRule, &kReactGmin2};
    if (n == 52)
        return {u"Реакция Gv<G_отс", Rule::ListRule, &kReactGots};
    if (n >= 53 && n <= 72)
        return SharedUpperParameter(n - 53);
    if (n >= 73 && n <= 77)
        return {gots[n - 73], Rule::Units, nullptr, kUnitFlow};
    if (n >= 78 && n <= 82)
        return {gmin[n - 78], Rule::Units, nullptr, kUnitFlow};
    if (n >= 83 && n <= 87)
        return {gmax[n - 83], Rule::Units, nullptr, kUnitFlow};
    if (n >= 256 && n <= 266)
        return CountersParameter(n);
    if (n >= 267 && n <= 280)
        return {times[n - 267], Rule::Hours};
    return {};
}

// --- C-style number texts: always a decimal point, whatever the process locale. ---

QString CFixed(double v, int decimals)
{
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
    return QString::fromLatin1(buf, r.ptr - buf);
}

QString CGeneral(double v) // "%g"
{
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 6);
    return QString::fromLatin1(buf, r.ptr - buf);
}

// "%013.5f": zero-padded to 13 characters after the sign.
QString CZeroPadded13(double v)
{
    QString text = CFixed(v, 5);
    const bool negative = text.startsWith(u'-');
    if (negative)
        text.remove(0, 1);
    const int width = negative ? 12 : 13;
    if (text.size() < width)
        text.prepend(QString(width - text.size(), u'0'));
    return negative ? u'-' + text : text;
}

QString Two(int v)
{
    return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0'));
}

quint16 U16(const quint8 *b)
{
    return static_cast<quint16>(b[0] | (b[1] << 8));
}

quint32 U32(const quint8 *b)
{
    return quint32(b[0]) | (quint32(b[1]) << 8) | (quint32(b[2]) << 16) | (quint32(b[3]) << 24);
}

float F32(const quint8 *b)
{
    const quint32 bits = U32(b);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// "dd/mm/yy hh:nn:ss" of year - 2000, month, day, hour, minute, second; empty when it is
// no valid date and time.
QString StampText(const quint8 *t, QDate *date = nullptr, QTime *time = nullptr)
{
    const QDate d(2000 + t[0], t[1], t[2]);
    const QTime tm(t[3], t[4], t[5]);
    if (!d.isValid() || !tm.isValid() || t[1] == 0 || t[2] == 0)
        return {};
    if (date)
        *date = d;
    if (time)
        *time = tm;
    return Two(d.day()) + u'/' + Two(d.month()) + u'/' + Two(d.year() % 100) + u' ' + Two(tm.hour()) + u':'
        + Two(tm.minute()) + u':' + Two(tm.second());
}

QString TypedValue(int type, const quint8 *v)
{
    switch (type) {
    case 1: return v[0] != 0 ? kYes : kNo;
    case 2: return QString::number(v[0]);
    case 3: return QString::number(static_cast<qint8>(v[0]));
    case 4: return QString::number(U16(v));
    case 5: return QString::number(static_cast<qint16>(U16(v)));
    case 6: return QString::number(U32(v));
    case 7: return QString::number(static_cast<qint32>(U32(v)));
    case 8: return CGeneral(F32(v));
    default: return {};
    }
}

bool Decode(JournalDecodeStruct &out, const JournalEntryRaw &raw, Parameter (*table)(int))
{
    // 1. Clear. The times too: an impossible time must leave them zero whatever the caller
    // handed in.
    out.date = 0;
    out.dateTime = 0;
    out.recordText.clear();
    out.oldValue.clear();
    out.newValue.clear();

    // Byte image of the entry: offsets as the calculator stores them.
    quint8 b[16];
    b[0] = raw.year;
    b[1] = raw.month;
    b[2] = raw.day;
    b[3] = raw.hour;
    b[4] = raw.minute;
    b[5] = raw.second;
    b[6] = static_cast<quint8>(raw.eventCode & 0xFF);
    b[7] = static_cast<quint8>(raw.eventCode >> 8);
    std::memcpy(b + 8, raw.oldValue, 4);
    std::memcpy(b + 12, raw.newValue, 4);

    // 2. Time.
    QDate date;
    QTime time;
    out.displayText = StampText(b, &date, &time);
    if (out.displayText.isEmpty()) {
        const bool zeros = b[0] == 0 && b[1] == 0 && b[2] == 0 && b[3] == 0;
        const bool ones = b[0] == 0xFF && b[1] == 0xFF && b[2] == 0xFF && b[3] == 0xFF;
        if (zeros || ones) {
            out.displayText = zeros ? kSkippedPage : kErasedPage;
            out.recordText = out.oldValue = out.newValue = kPageFiller;
            return false;
        }
        out.displayText = kBadTime;
    } else {
        out.date = DayCountFromDate(date);
        out.dateTime = DayCountFromParts(date, time);
    }

    // 3. Value type.
    const int type = raw.eventCode >> 12;
    const quint8 *oldBytes = b + 8;
    const quint8 *newBytes = b + 12;
    if (type == 9) {
        out.oldValue = StampText(oldBytes);
        if (out.oldValue.isEmpty())
            out.oldValue = kBadTime;
    } else if (type == 10) {
        out.oldValue = CZeroPadded13(double(U32(oldBytes)) + double(F32(newBytes)));
        out.newValue = CZeroPadded13(0);
    } else {
        out.oldValue = TypedValue(type, oldBytes);
        out.newValue = TypedValue(type, newBytes);
    }

    // 4. Parameter.
    const Parameter p = table(raw.eventCode & 0x0FFF);
    if (!p.text) {
        out.recordText = kUnknownParameter;
        return true;
    }
    out.recordText = QString::fromUtf16(p.text);
    switch (p.rule) {
    case Rule::AsTyped:
        break;
    case Rule::ListRule: {
        const auto size = static_cast<int>(p.list->size());
        if (oldBytes[0] < size)
            out.oldValue = QString::fromUtf16(p.list->begin()[oldBytes[0]]);
        if (newBytes[0] < size)
            out.newValue = QString::fromUtf16(p.list->begin()[newBytes[0]]);
        break;
    }
    case Rule::Units:
        out.oldValue += QString::fromUtf16(p.units);
        out.newValue += QString::fromUtf16(p.units);
        break;
    case Rule::DayMonth:
        out.oldValue = Two(oldBytes[1]) + u'/' + Two(oldBytes[0]);
        out.newValue = Two(newBytes[1]) + u'/' + Two(newBytes[0]);
        break;
    case Rule::Hours: {
        const quint32 minutes = U32(oldBytes);
        out.oldValue = Two(static_cast<int>(minutes / 60)) + u':' + Two(static_cast<int>(minutes % 60));
        out.newValue = QStringLiteral("00000:00");
        break;
    }
    case Rule::Temperature:
        // The raw word is hundredths of a degree, as the calculator's temperature registers.
        out.oldValue = CFixed(static_cast<qint16>(U16(oldBytes)) * 0.01, 2) + QStringLiteral(" (°C)");
        out.newValue = CFixed(static_cast<qint16>(U16(newBytes)) * 0.01, 2) + QStringLiteral(" (°C)");
        break;
    case Rule::Pressure:
        // Thousandths of kgf/cm2, as the pressure registers.
        out.oldValue = CFixed(U16(oldBytes) * 0.001, 3) + QStringLiteral(" (кгс/см2)");
        out.newValue = CFixed(U16(newBytes) * 0.001, 3) + QStringLiteral(" (кгс/см2)");
        break;
    case Rule::Ratio:
        // Hundredths.
        out.oldValue = CFixed(U16(oldBytes) * 0.01, 2);
        out.newValue = CFixed(U16(newBytes) * 0.01, 2);
        break;
    }
    return true;
}

} // namespace

bool DecodeJournalV1(JournalDecodeStruct &out, const JournalEntryRaw &raw)
{
    return Decode(out, raw, ParameterV1);
}

bool DecodeJournalV2(JournalDecodeStruct &out, const JournalEntryRaw &raw)
{
    return Decode(out, raw, ParameterV2);
}

bool DecodeJournal(int version, JournalDecodeStruct &out, const JournalEntryRaw &raw)
{
    return version == 2 ? DecodeJournalV2(out, raw) : DecodeJournalV1(out, raw);
}

JournalEntryRaw JournalEntryFromBytes(const quint8 bytes[16])
{
    JournalEntryRaw raw;
    raw.year = bytes[0];
    raw.month = bytes[1];
    raw.day = bytes[2];
    raw.hour = bytes[3];
    raw.minute = bytes[4];
    raw.second = bytes[5];
    raw.eventCode = static_cast<quint16>(bytes[6] | (bytes[7] << 8));
    std::memcpy(raw.oldValue, bytes + 8, 4);
    std::memcpy(raw.newValue, bytes + 12, 4);
    return raw;
}

} // namespace qst
