#include "Application.h"

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    // Test discovery runs the binary without CTest's environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("TZ"))
        qputenv("TZ", "Europe/Moscow");
    qst::TApplication app(argc, argv); // as the program has it: errors of a command are shown
    qst::InstallQtRussianTranslation(app); // and Qt's own texts in Russian
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
