#include "ReportTexts.h"

#include <iterator>

namespace qst::texts {

QString EndTooLate(const QString &newestText)
{
    return QStringLiteral("Дата конца отчетного периода должна быть меньше ") + newestText + u'!';
}

QString JournalHeader()
{
    return QStringLiteral("Дата\tЗапись\tСтарое значение\tНовое значение\t");
}

QString HeaderCell(int heatSystem, int item, int cell)
{
    static const char16_t *const system1[17][2] = {
        {u"Q ГКал", nullptr},
        {u"M1 тонн", nullptr},
        {u"M2 тонн", nullptr},
        {u"+(M1-М2) тонн", u"-(M1-М2) тонн"},
        {u"V1 м^3", nullptr},
        {u"V2 м^3", nullptr},
        {u"+(V1-V2) м^3", u"-(V1-V2) м^3"},
        {u"T1 °C", nullptr},
        {u"T2 °C", nullptr},
        {u"T1-T2 °C", nullptr},
        {u"P1 кгс/см^2", nullptr},
        {u"P2 кгс/см^2", nullptr},
        {u"ВНР ч", nullptr},
        {u"ВОС ч", nullptr},
        {u"НС", nullptr},
        {u"Tхв °C", nullptr},
        {u"Pхв кгс/см^2", nullptr},
    };
    static const char16_t *const system2[17][2] = {
        {u"Q ГКал", nullptr},
        {u"M3 тонн", nullptr},
        {u"M4 тонн", nullptr},
        {u"+(M3-М4) тонн", u"-(M3-М4) тонн"},
        {u"V3 м^3", nullptr},
        {u"V4 м^3", nullptr},
        {u"+(V3-V4) м^3", u"-(V3-V4) м^3"},
        {u"T3 °C", nullptr},
        {u"T4 °C", nullptr},
        {u"T3-T4 °C", nullptr},
        {u"P3 кгс/см^2", nullptr},
        {u"P4 кгс/см^2", nullptr},
        {u"ВНР ч", nullptr},
        {u"ВОС ч", nullptr},
        {u"НС", nullptr},
        {u"Tхв °C", nullptr},
        {u"Pхв кгс/см^2", nullptr},
    };
    static const char16_t *const coldWater[6] = {u"V м^3", u"T °C", u"P кгс/см^2", u"ВНР ч", u"ВОС ч", u"НС"};
    if (cell < 0 || cell > 1)
        return {};
    if (heatSystem == 2)
        return item >= 0 && item < 6 && cell == 0 ? QString::fromUtf16(coldWater[item]) : QString();
    if (item < 0 || item >= 17)
        return {};
    const char16_t *text = (heatSystem == 1 ? system2 : system1)[item][cell];
    return text ? QString::fromUtf16(text) : QString();
}

QString FaultFlagName(int row, int bit)
{
    static const char16_t *const names[5][8] = {
        {u"Неисправность ПТ1", u"t1<tхв", u"dt1<dt1мин", u"Неисправность ПД1", u"Неисправность ПР1",
         u"Gмин1<Gv1<Gпор1", u"Gv1<Gмин1", u"Отрицат.небал.ТС1"},
        {u"Неисправность ПТ2", u"t2<tхв", u"dt1<0", u"Неисправность ПД2", u"Неисправность ПР2", u"Gмин2<Gv2<Gпор2",
         u"Gv2<Gмин2", u"Положит.небал.ТС1"},
        {u"Неисправность ПТ3", u"t3<tхв", u"dt2<dt2мин", u"Неисправность ПД3", u"Неисправность ПР3",
         u"Gмин3<Gv3<Gпор3", u"Gv3<Gмин3", u"Отрицат.небал.ТС2"},
        {u"Неисправность ПТ4", u"t4<tхв", u"dt2<0", u"Неисправность ПД4", u"Неисправность ПР4", u"Gмин4<Gv4<Gпор4",
         u"Gv4<Gмин4", u"Положит.небал.ТС2"},
        {u"Сброс питания", u"Уровень доступа", u"Разряд батареи", u"Внешнее питание", u"Неисправность ПР5",
         u"Gмин5<Gv5<Gпор5", u"Gv5<Gмин5", u""},
    };
    if (row < 1 || row > 5 || bit < 0 || bit > 7)
        return {};
    return QString::fromUtf16(names[row - 1][bit]);
}

QString IntegratorHeader(int heatSystem)
{
    if (heatSystem == 2)
        return QStringLiteral("\tV,м^3\tВНР,ч\tВОС,ч\t");
    if (heatSystem == 1)
        return QStringLiteral("\tQ,ГКал\tM3,тонн\tM4,тонн\tV3,м^3\tV4,м^3\tВНР,ч\tВОС,ч\t");
    return QStringLiteral("\tQ,ГКал\tM1,тонн\tM2,тонн\tV1,м^3\tV2,м^3\tВНР,ч\tВОС,ч\t");
}

} // namespace qst::texts
