#include "MeterTables.h"

namespace qst {

QString SchemeName(int heatSystem, int code)
{
    static const char16_t *const system1[] = {u"ОТОПЛ_1",  u"ОТОПЛ_2", u"ОТОПЛ_12", u"ОТОПЛ_21", u"ЦИРК_ГВС",
                                              u"ТУП_ГВС",  u"ХВС",     u"ИСТ_1",    u"ИСТ_2",    u"ВЫКЛ"};
    static const char16_t *const system2[] = {u"ВЫКЛ",     u"ОТОПЛ_1", u"ОТОПЛ_2", u"ОТОПЛ_12",
                                              u"ОТОПЛ_21", u"ЦИРК_ГВС", u"ТУП_ГВС", u"ХВС"};
    if (heatSystem == 1 && code >= 0 && code < int(std::size(system1)))
        return QString::fromUtf16(system1[code]);
    if (heatSystem == 2 && code >= 0 && code < int(std::size(system2)))
        return QString::fromUtf16(system2[code]);
    return {};
}

float MinFlowForDiameter(int du)
{
    static const struct {
        int upTo;
        float gmin;
    } table[] = {{20, 0.02f}, {25, 0.04f}, {32, 0.12f}, {40, 0.18f}, {50, 0.3f},  {65, 0.48f},
                 {80, 0.72f}, {100, 1.2f}, {150, 2.28f}, {200, 4.0f}};
    for (const auto &row : table) {
        if (du <= row.upTo)
            return row.gmin;
    }
    return 10.0f;
}

int RangeRatio(int measuringClass)
{
    return measuringClass == 0 ? 250 : 500;
}

} // namespace qst
