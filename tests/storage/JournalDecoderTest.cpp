#include "common/DayCount.h"
#include "storage/JournalDecoder.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace qst;

namespace {

// An entry as the calculator stores it: time, parameter + type word, old and new value.
JournalEntryRaw Entry(int param, int type, quint32 oldValue, quint32 newValue,
                      std::array<quint8, 6> time = {10, 3, 25, 14, 30, 5})
{
    quint8 b[16];
    std::memcpy(b, time.data(), 6);
    const quint16 word = static_cast<quint16>((type << 12) | param);
    b[6] = word & 0xFF;
    b[7] = word >> 8;
    for (int i = 0; i < 4; ++i) {
        b[8 + i] = (oldValue >> (8 * i)) & 0xFF;
        b[12 + i] = (newValue >> (8 * i)) & 0xFF;
    }
    return JournalEntryFromBytes(b);
}

quint32 FloatBits(float f)
{
    quint32 u;
    std::memcpy(&u, &f, 4);
    return u;
}

struct Decoded
{
    bool stored;
    JournalDecodeStruct d;
};

Decoded Decode(int version, const JournalEntryRaw &raw)
{
    Decoded r;
    r.stored = DecodeJournal(version, r.d, raw);
    return r;
}

} // namespace

TEST(JournalDecoder, TimeAndDisplayText)
{
    const Decoded r = Decode(1, Entry(1, 0, 0, 0));
    EXPECT_TRUE(r.stored);
    EXPECT_EQ(r.d.displayText, QStringLiteral("25/03/10 14:30:05"));
    EXPECT_EQ(r.d.date, DayCountFromDate(QDate(2010, 3, 25)));
    EXPECT_EQ(r.d.dateTime, DayCountFromParts(QDate(2010, 3, 25), QTime(14, 30, 5)));
    EXPECT_EQ(r.d.recordText, QStringLiteral("Режим РАБОТА"));
    EXPECT_TRUE(r.d.oldValue.isEmpty());
    EXPECT_TRUE(r.d.newValue.isEmpty());
}

TEST(JournalDecoder, BlankAndErasedPagesAreNotStored)
{
    quint8 ff[16];
    std::memset(ff, 0xFF, 16);
    Decoded erased = Decode(2, JournalEntryFromBytes(ff));
    EXPECT_FALSE(erased.stored);
    EXPECT_EQ(erased.d.displayText, QStringLiteral("Стертая страница"));
    EXPECT_EQ(erased.d.recordText, QStringLiteral("xxxx"));
    EXPECT_EQ(erased.d.oldValue, QStringLiteral("xxxx"));
    EXPECT_EQ(erased.d.newValue, QStringLiteral("xxxx"));

    const Decoded skipped = Decode(1, Entry(21, 2, 3, 9, {0, 0, 0, 0, 7, 7}));
    EXPECT_FALSE(skipped.stored);
    EXPECT_EQ(skipped.d.displayText, QStringLiteral("Пропущ.страница"));
    EXPECT_EQ(skipped.d.recordText, QStringLiteral("xxxx"));
}

TEST(JournalDecoder, ImpossibleTimeIsStoredAtTimeZero)
{
    JournalDecodeStruct d;
    d.date = 5; // whatever the caller left there
    d.dateTime = 5;
    for (auto time : {std::array<quint8, 6>{10, 13, 1, 0, 0, 0}, std::array<quint8, 6>{10, 2, 30, 0, 0, 0},
                      std::array<quint8, 6>{10, 2, 1, 25, 0, 0}, std::array<quint8, 6>{10, 2, 1, 23, 60, 0}}) {
        EXPECT_TRUE(DecodeJournalV1(d, Entry(4, 0, 0, 0, time)));
        EXPECT_EQ(d.displayText, QStringLiteral("Некоректное время"));
        EXPECT_EQ(d.date, 0);
        EXPECT_EQ(d.dateTime, 0);
        EXPECT_EQ(d.recordText, QStringLiteral("Текущее время"));
    }
}

TEST(JournalDecoder, ValueTypes)
{
    const struct {
        int type;
        quint32 oldValue, newValue;
        const char16_t *oldText, *newText;
    } cases[] = {
        {0, 5, 6, u"", u""},
        {1, 0x0100, 1, u"Нет", u"Да"},
        {2, 0x1FF, 7, u"255", u"7"},
        {3, 0xFF, 0x7F, u"-1", u"127"},
        {4, 0xFFFF, 0x10000, u"65535", u"0"},
        {5, 0xFFFE, 300, u"-2", u"300"},
        {6, 0xFFFFFFFF, 70000, u"4294967295", u"70000"},
        {7, 0xFFFFFFFF, 70000, u"-1", u"70000"},
        {8, FloatBits(12.5f), FloatBits(0.0001f), u"12.5", u"0.0001"},
        {8, FloatBits(1234567.f), FloatBits(-3.f), u"1.23457e+06", u"-3"},
        {11, 5, 6, u"", u""},
        {15, 5, 6, u"", u""},
    };
    for (const auto &c : cases) {
        const Decoded r = Decode(1, Entry(16, c.type, c.oldValue, c.newValue));
        EXPECT_EQ(r.d.oldValue, QString::fromUtf16(c.oldText)) << "type " << c.type;
        EXPECT_EQ(r.d.newValue, QString::fromUtf16(c.newText)) << "type " << c.type;
    }
}

TEST(JournalDecoder, DateValueAndIntegratorValue)
{
    // Type 9: year-2000, month, day, hour, minute, second over bytes 8..13.
    const quint32 oldPart = 11u | (12u << 8) | (31u << 16) | (23u << 24);
    const Decoded date = Decode(2, Entry(4, 9, oldPart, 59u | (58u << 8)));
    EXPECT_EQ(date.d.oldValue, QStringLiteral("31/12/11 23:59:58"));
    EXPECT_TRUE(date.d.newValue.isEmpty());
    const Decoded badDate = Decode(2, Entry(4, 9, 11u | (2u << 8) | (30u << 16), 0));
    EXPECT_EQ(badDate.d.oldValue, QStringLiteral("Некоректное время"));

    // Type 10: unsigned whole part plus a single-precision fraction, "%013.5f".
    const Decoded total = Decode(1, Entry(256, 10, 12345, FloatBits(0.25f)));
    EXPECT_EQ(total.d.recordText, QStringLiteral("Q1"));
    EXPECT_EQ(total.d.oldValue, QStringLiteral("0012345.25000"));
    EXPECT_EQ(total.d.newValue, QStringLiteral("0000000.00000"));
}

TEST(JournalDecoder, ParameterRules)
{
    const struct {
        int version;
        int param;
        int type;
        quint32 oldValue, newValue;
        const char16_t *record, *oldText, *newText;
    } cases[] = {
        // Lists by the first byte; an index beyond the list keeps the typed text.
        {1, 21, 2, 3, 9, u"Схема ТС1", u"ОТОПЛ_21", u"9"},
        {2, 22, 2, 0, 7, u"Схема ТС2", u"ВЫКЛ", u"ХВС"},
        {1, 5, 0, 1, 0, u"Смена периода теплопотребления", u"ЗИМНИЙ", u"ЛЕТНИЙ"},
        {1, 48, 6, 0x100, 1, u"Реакция неисправность ПД", u"Исп. договорное значение", u"Останов ТС"},
        {1, 34, 2, 2, 5, u"Датчик P2", u"6.3 кгс/см2", u"25 кгс/см2"},
        // Units, appended to the typed text (also an empty one).
        {1, 258, 8, FloatBits(12.5f), FloatBits(13.f), u"G1", u"12.5 т", u"13 т"},
        {2, 266, 0, 0, 0, u"V5", u" м3", u" м3"},
        {1, 67, 6, 10, 100, u"Вес импульса V1", u"10 л/имп", u"100 л/имп"},
        {2, 72, 6, 10, 100, u"Вес импульса V5", u"10 л/имп", u"100 л/имп"},
        {1, 76, 6, 3, 4, u"Gпор5", u"3 м3/ч", u"4 м3/ч"},
        {2, 87, 6, 3, 4, u"Gmax5", u"3 м3/ч", u"4 м3/ч"},
        // dd/mm from the second and first byte.
        {1, 19, 0, 0x0515, 0x0A01, u"Начало летнего периода", u"05/21", u"10/01"},
        // Hours and minutes.
        {1, 267, 6, 1234, 99, u"Траб.ТС1", u"20:34", u"00000:00"},
        {2, 267, 6, 1234, 99, u"Тшт.ТС1", u"20:34", u"00000:00"},
        {1, 271, 6, 59, 0, u"Траб.V5", u"00:59", u"00000:00"},
        {2, 280, 6, 600, 0, u"Тост.V5", u"10:00", u"00000:00"},
        // Temperature (signed hundredths), pressure (unsigned thousandths), ratio (hundredths).
        {1, 31, 5, 0xFC18, 450, u"tхв летнее дог.", u"-10.00 (°C)", u"4.50 (°C)"},
        {2, 45, 4, 6300, 16000, u"Pхв договорное", u"6.300 (кгс/см2)", u"16.000 (кгс/см2)"},
        {1, 54, 4, 5, 150, u"Коэффициент небаланса расхода", u"0.05", u"1.50"},
        {2, 55, 4, 5, 150, u"Коэффициент небаланса расхода", u"0.05", u"1.50"},
        // The versions part ways from 50 on.
        {1, 52, 2, 1, 2, u"Реакция небаланс ТС1", u"Нет реакции | Регистрация НС", u"Мобр = Мпод | Регистрация НС"},
        {2, 52, 2, 1, 2, u"Реакция Gv<G_отс", u"Регистрация НС", u"Gv = 0"},
        {1, 50, 2, 2, 9, u"Реакция Gv<G_пор", u"Gv = Gпор", u"9"},
        {2, 50, 2, 2, 9, u"Реакция Gv>G_max", u"Gv = Gmax", u"9"},
        {1, 23, 2, 1, 0, u"Дополнительный  канал V5", u"1", u"0"},
        // Unknown numbers keep the typed values.
        {1, 0, 2, 1, 2, u"Неизвестный параметр", u"1", u"2"},
        {1, 10, 2, 1, 2, u"Неизвестный параметр", u"1", u"2"},
        {1, 82, 2, 1, 2, u"Неизвестный параметр", u"1", u"2"},
        {2, 82, 2, 1, 2, u"Gmin5", u"1 м3/ч", u"2 м3/ч"},
        {2, 88, 2, 1, 2, u"Неизвестный параметр", u"1", u"2"},
        {1, 273, 2, 1, 2, u"Неизвестный параметр", u"1", u"2"},
        {2, 281, 2, 1, 2, u"Неизвестный параметр", u"1", u"2"},
        {2, 4095, 2, 1, 2, u"Неизвестный параметр", u"1", u"2"},
    };
    for (const auto &c : cases) {
        const Decoded r = Decode(c.version, Entry(c.param, c.type, c.oldValue, c.newValue));
        SCOPED_TRACE(testing::Message() << "version " << c.version << " parameter " << c.param);
        EXPECT_TRUE(r.stored);
        EXPECT_EQ(r.d.recordText, QString::fromUtf16(c.record));
        EXPECT_EQ(r.d.oldValue, QString::fromUtf16(c.oldText));
        EXPECT_EQ(r.d.newValue, QString::fromUtf16(c.newText));
    }
}
