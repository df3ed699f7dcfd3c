#pragma once

#include <QString>
#include <QStringList>

// Every text the desktop application shows, kept together so they can be checked in one place.
namespace qst::ui {

inline const QString kTitlePrefix = QStringLiteral("Программа обработки данных приборов QST-5.4 (Версия ");
inline const QString kRoot = QStringLiteral("Все");
// Added to the title of a window opened with --read-only.
inline const QString kReadOnlyTitle = QStringLiteral(" — только просмотр");

// Main toolbar and tree page
inline const QString kExit = QStringLiteral("Выход");
inline const QString kExitWhilePolling = QStringLiteral("Идёт опрос приборов. Прервать его и выйти?");
inline const QString kEditModem = QStringLiteral("Настройка модема");
inline const QString kStop = QStringLiteral("Остановить опрос по выбранному прибору");
inline const QString kPortsButton = QStringLiteral("Порты");
inline const QString kTreePage = QStringLiteral("Дерево");
inline const QString kNewGroup = QStringLiteral("Создать группу");
inline const QString kAddMeter = QStringLiteral("Добавить прибор");
inline const QString kRefresh = QStringLiteral("Обновить");
inline const QString kReadArchiveFile = QStringLiteral("Считать архив из файла");
inline const QString kDelete = QStringLiteral("Удалить");
inline const QString kSearch = QStringLiteral("Поиск ");
inline const QString kMenuEdit = QStringLiteral("Редактировать");
inline const QString kMenuClear = QStringLiteral("Очистить архив");
inline const QString kLogPage = QStringLiteral("Порт: ");

// Pages of MainPC
inline const QString kCurrPage = QStringLiteral("Текущие показания");
inline const QString kHourPage = QStringLiteral("Часовой архив");
inline const QString kDayPage = QStringLiteral("Суточный архив");
inline const QString kMonthPage = QStringLiteral("Месячный архив");
inline const QString kJournalPage = QStringLiteral("Журнал");
inline const QString kReportPage = QStringLiteral("Отчётность");
inline const QString kQueuePage = QStringLiteral("Очередь опроса");
inline const QString kSummaryPage = QStringLiteral("Сводка");
inline const QString kPagesMenu = QStringLiteral("Страницы");
inline const QString kMenuFillGaps = QStringLiteral("Дочитать пропуски");
inline const QString kSummaryOverdue = QStringLiteral("не отвечает");
inline const QString kSummaryNsYes = QStringLiteral("есть");
inline const QString kOverdueTip = QStringLiteral("Прибор не отвечает дольше положенного");
inline const QString kSummaryColumns[] = {
    QStringLiteral("Прибор"),
    QStringLiteral("Заводской №"),
    QStringLiteral("Группа"),
    QStringLiteral("Последний ответ"),
    QStringLiteral("Последняя ошибка"),
    QStringLiteral("Последняя часовая"),
    QStringLiteral("Последняя суточная"),
    QStringLiteral("Последняя месячная"),
    QStringLiteral("Пропущено часов за 31 сут."),
    QStringLiteral("НС за сутки"),
    QStringLiteral("Просрочен"),
};

// Tree messages
inline const QString kChooseRootGroup = QStringLiteral("Выберите корневую группу!");
inline const QString kChooseGroup = QStringLiteral("Выберите группу!");
inline const QString kChooseForDelete = QStringLiteral("Выберите прибор для удаления!");
inline const QString kConfirmDelete = QStringLiteral("Подтвердите удаление.");
inline const QString kGroupNotEmpty =
    QStringLiteral("Невозможно удалить группу, так как она содержит вложенные элемены!");

// Message box
inline const QString kOk = QStringLiteral("OK");
inline const QString kYes = QStringLiteral("Да");
inline const QString kNo = QStringLiteral("Нет");
inline const QString kCancel = QStringLiteral("Отмена");
inline const QString kOpenFolder = QStringLiteral("Открыть папку");

// Group name dialog
inline const QString kGroupDialogTitle = QStringLiteral("Название группы");
inline const QString kGroupDialogLabel = QStringLiteral("Введите название группы");
inline const QString kGroupDialogCancel = QStringLiteral("Cancel");

// Meter dialog
inline const QString kMeterDialogTitle = QStringLiteral("Тепловычислитель");
inline const QString kName = QStringLiteral("Название потребителя");
inline const QString kSerial = QStringLiteral("Серийный номер");
inline const QString kAbon = QStringLiteral("Абонент №");
inline const QString kPerson = QStringLiteral("Ответственное за учёт лицо");
inline const QString kPhone = QStringLiteral("Телефон");
inline const QString kAddress = QStringLiteral("Адрес");
inline const QString kDU = QStringLiteral("ДУ");
inline const QString kClass = QStringLiteral("Класс диапазона измерения");
inline const QString kClassB2 = QStringLiteral("В, В2");
inline const QString kClassB = QStringLiteral("Б");
inline const QString kNote1 = QStringLiteral("Сетевой адрес должен совпадать с");
inline const QString kNote2 = QStringLiteral("сетевым адресом в настройках прибора!");
inline const QString kNetAddress = QStringLiteral("Сетевой адрес");
inline const QString kModem = QStringLiteral("Модем");
inline const QString kPort = QStringLiteral("Порт");
inline const QString kDevType = QStringLiteral("Тип прибора");
inline const QString kDevType1 = QStringLiteral("QST-5.4");
inline const QString kDevType2 = QStringLiteral("QST-5.4.4");
inline const QString kSchedule = QStringLiteral("Расписание опроса");
inline const QString kHours = QStringLiteral("часов");
inline const QString kMinutes = QStringLiteral("минут");
inline const QString kAdd = QStringLiteral("Добавить");
inline const QString kNeedName = QStringLiteral("Укажите название потребителя.");
inline const QString kNeedSerial = QStringLiteral("Укажите серийный номер.");
inline const QString kBadSerial = QStringLiteral("Серийный номер указан некорректно.");
inline const QString kNeedNetAddress = QStringLiteral("Укажите сетевой адрес.");
inline const QString kBadNetAddress = QStringLiteral("Сетевой адрес указан некорректно.");
inline const QString kNeedPort = QStringLiteral("Выберите порт.");

// Current values page
inline const QString kReadFromDevice = QStringLiteral("Прочитать с прибора");
inline const QString kReceivedAt = QStringLiteral("Дата/время получения показаний");
inline const QString kHeatSystem1 = QStringLiteral("Тепловая система 1");
inline const QString kHeatSystem2 = QStringLiteral("Тепловая система 2");
inline const QString kColdWater = QStringLiteral("ХВС");
inline const QString kTs1 = QStringLiteral("ТС1");
inline const QString kTs2 = QStringLiteral("ТС2");

// Archive pages
inline const QString kRead = QStringLiteral("Прочитать");
inline const QString kFrom = QStringLiteral("    С  ");
inline const QString kTo = QStringLiteral("    По  ");
inline const QString kReread = QStringLiteral("    Перезаписать  ");
inline const QString kMissingOnly = QStringLiteral("  Только недостающие  ");
inline const QString kRecords = QStringLiteral("  записей");
inline const QString kDateTime = QStringLiteral("Дата/время");
inline const QString kJournalText = QStringLiteral("Запись журнала");
inline const QString kOldValue = QStringLiteral("Старое значение");
inline const QString kNewValue = QStringLiteral("Новое значение");

// Clear-archive dialog
inline const QString kClearTitle = QStringLiteral("Очистка архива");
inline const QString kClearBefore = QStringLiteral("Удалить данные до");
inline const QString kClearOk = QStringLiteral("ОК"); // Cyrillic letters, as the dialog has them
inline const QString kGroupHasNoMeters = QStringLiteral("В группе нет приборов.");
inline const QString kClearFailed = QStringLiteral("Архив очищен не у всех приборов:");
inline QString ClearGroupQuestion(const QString &group, int meters)
{
    return QStringLiteral("Очистить архив всех приборов группы «%1» (%2 шт.)?").arg(group).arg(meters);
}

// Report page
inline const QString kHeatSystemLabel = QStringLiteral("Тепловая система");
inline const QString kReportKind = QStringLiteral("Тип отчета");
inline const QString kHourly = QStringLiteral("Часовой");
inline const QString kDaily = QStringLiteral("Суточный");
inline const QString kMonthly = QStringLiteral("Месячный");
inline const QString kJournal = QStringLiteral("Журнал");
inline const QString kPeriodFrom = QStringLiteral("С");
inline const QString kPeriodTo = QStringLiteral("По");
inline const QString kOrientation = QStringLiteral("Ориентация отчета");
inline const QString kPortrait = QStringLiteral("Книжная");
inline const QString kLandscape = QStringLiteral("Альбомная");
inline const QString kShowIntegrators = QStringLiteral("Выводить интеграторы");
inline const QString kDetail = QStringLiteral("Детализировать нештатные ситуации");
inline const QString kBreakPages = QStringLiteral("Разбивать на страницы  (по дням, месяцам)");
inline const QString kMoek = QStringLiteral("Форма МОЭК");
inline const QString kStart = QStringLiteral("Запуск");
// Export and archive check.
inline const QString kExport = QStringLiteral("Экспорт…");
inline const QString kExportTitle = QStringLiteral("Экспорт");
inline const QString kExportWritten = QStringLiteral("Таблица сохранена:");
inline const QString kExportFailed = QStringLiteral("Таблица не сохранена:");
inline const QString kFilesLogPage = QStringLiteral("Файлы");
inline const QString kXlsxFilter = QStringLiteral("Книга Excel (*.xlsx)");
inline const QString kCsvFilter = QStringLiteral("CSV, UTF-8 (*.csv)");
inline const QString kCsv1251Filter = QStringLiteral("CSV, Windows-1251 (*.csv)");
inline const QString kMenuCheck = QStringLiteral("Проверить архив");
inline const QString kCheckTitle = QStringLiteral("Проверка архива");
inline const QString kCheckClean = QStringLiteral("Архив сходится.");
inline const QString kCheckDifferences = QStringLiteral("Найдены расхождения:");
inline const QString kGroupReports = QStringLiteral("Отчёты группы");
inline const QString kMenuGroupReports = QStringLiteral("Отчёты группы…");
inline const QString kGroupFolder = QStringLiteral("Папка");
inline const QString kGroupPattern = QStringLiteral("Имена файлов");
inline const QString kGroupColumns = QStringLiteral("Графы");
// The chart page.
inline const QString kChartPage = QStringLiteral("График");
inline const QString kChartHourly = QStringLiteral("Часовой");
inline const QString kChartDaily = QStringLiteral("Суточный");
inline const QString kChartMonthly = QStringLiteral("Месячный");
inline const QString kChartReset = QStringLiteral("Сбросить масштаб");
inline const QString kChartSave = QStringLiteral("Сохранить как…");
inline const QString kChartImageFilter = QStringLiteral("Рисунок PNG (*.png);;Рисунок SVG (*.svg)");
inline const QString kChartSaveFailed = QStringLiteral("Не удалось сохранить %1");
inline const QString kChartTemperatureAxis = QStringLiteral("Температура, °С");
inline const QString kChartPressureAxis = QStringLiteral("Давление, кгс/см^2");
inline const QString kChartAmountAxis = QStringLiteral("Масса, т; объём, м^3; тепло, ГКал");
inline const QString kChartFaults = QStringLiteral("НС");
inline const QString kSaveFilter = QStringLiteral("Документ Word (*.docx)");
inline const QString kNoViewer = QStringLiteral("Нет программы для просмотра документа. Документ сохранён: ");
inline const QString kArchiveFilter = QStringLiteral("Файлы архива (*.arch)");
inline const QString kReportFile = QStringLiteral("Файл отчета");

// Ports dialog
inline const QString kPortsTitle = QStringLiteral("Порты");
inline const QString kPortsNumber = QStringLiteral("Порт");
inline const QString kPortsDevice = QStringLiteral("Устройство или tcp://узел:порт");
inline const QString kPortsFast = QStringLiteral("Быстрый обмен");
inline const QString kPortsFastHint = QStringLiteral(
    "Конец ответа по его длине, пауза между запросами 3,5 символа. Выключите для старых преобразователей, "
    "которым нужна пауза 100 мс.");
inline const QString kPortsBadAddress = QStringLiteral("Порт %1: %2");
inline const QString kPortsMissing = QStringLiteral("Таких устройств сейчас нет:");
inline const QString kPortsSaveAnyway = QStringLiteral("Сохранить всё же?");

// Database copy: the dialog and the log page
inline const QString kDatabaseButton = QStringLiteral("База данных");
inline const QString kDatabaseTitle = QStringLiteral("База данных");
inline const QString kDatabaseUrl = QStringLiteral("Адрес базы данных");
inline const QString kDatabaseUrlPlaceholder =
    QStringLiteral("postgresql://qst@server:5432/heat или host=server dbname=heat user=qst");
inline const QString kDatabaseNode = QStringLiteral("Имя узла");
inline const QString kDatabasePasswordNote = QStringLiteral(
    "Пароль указывается в файле ~/.pgpass или в переменной окружения PGPASSWORD, в Tree.ini он не хранится.");
inline const QString kDatabaseCheck = QStringLiteral("Проверить");
inline const QString kDatabaseChecking = QStringLiteral("Проверка соединения…");
inline const QString kDatabaseConnected = QStringLiteral("Соединение установлено");
inline const QString kDatabaseConnectFailed = QStringLiteral(
    "Не удалось соединиться с базой данных. Проверьте адрес сервера и порт, имя базы и пользователя, пароль в "
    "~/.pgpass и что сервер PostgreSQL запущен. Ответ библиотеки:");
inline const QString kDatabaseSchemaFailed = QStringLiteral(
    "Соединение установлено, но таблицы не созданы: проверьте права пользователя в этой базе. Ответ библиотеки:");
inline const QString kDatabaseOff = QStringLiteral("Отключить");
inline const QString kDatabaseNotSaved = QStringLiteral("Настройки не сохранены: %1");
inline const QString kDatabaseStatus = QStringLiteral("Состояние");
inline const QString kDatabaseEnabled = QStringLiteral("Копирование в базу данных: включено");
inline const QString kDatabaseDisabled = QStringLiteral("Копирование в базу данных: выключено");
inline const QString kDatabasePending = QStringLiteral("Записей в очереди: %1");
inline const QString kDatabaseLag = QStringLiteral("Отставание: %1");
inline const QString kDatabaseNoLag = QStringLiteral("Отставание: нет");
inline const QString kDatabaseSeconds = QStringLiteral("%1 с");
inline const QString kDatabaseMinutes = QStringLiteral("%1 мин");
inline const QString kDatabaseHours = QStringLiteral("%1 ч");
inline const QString kDatabaseLastCommit = QStringLiteral("Последняя запись в базу: %1 (записей: %2)");
inline const QString kDatabaseNoCommit = QStringLiteral("Последняя запись в базу: не было");
inline const QString kDatabaseLastError = QStringLiteral("Последняя ошибка: %1 (%2)");
inline const QString kDatabaseNoError = QStringLiteral("Последняя ошибка: нет");
inline const QString kDatabaseRejected = QStringLiteral("Отклонено базой данных: %1");
inline const QString kDatabaseNotQueued =
    QStringLiteral("Не поставлено в очередь: %1 (выполните qst-cli db sync)");
inline const QString kDatabaseSyncNeeded =
    QStringLiteral("В базе могут не хватать записей, выполните qst-cli db sync: %1");
inline const QString kDatabaseLagUnknown = QStringLiteral("Отставание: неизвестно, нужна синхронизация");
inline const QString kDatabaseStatusError = QStringLiteral("Очередь не прочитана: %1");
inline const QString kDatabaseLogPage = QStringLiteral("База данных");
inline const QString kDatabaseLogPrefix = QStringLiteral("[База данных] ");
inline const QString kMqttLogPrefix = QStringLiteral("[MQTT] ");

// Scheduled documents and mail.
inline const QString kSchedulesButton = QStringLiteral("Расписания");
inline const QString kScheduleTitle = QStringLiteral("Расписания документов");
inline const QStringList kScheduleColumns = {QStringLiteral("Имя"), QStringLiteral("Документ"),
    QStringLiteral("Период"), QStringLiteral("Срок"), QStringLiteral("Почта"), QStringLiteral("Последний запуск")};
inline const QString kScheduleName = QStringLiteral("Имя:");
inline const QString kScheduleKind = QStringLiteral("Документ:");
inline const QString kScheduleSystem = QStringLiteral("Система:");
inline const QString kScheduleGroup = QStringLiteral("Группа:");
inline const QString kSchedulePeriod = QStringLiteral("Период:");
inline const QString kScheduleAt = QStringLiteral("День месяца и время:");
inline const QString kScheduleOutDir = QStringLiteral("Папка документов:");
inline const QString kScheduleMail = QStringLiteral("Почта:");
inline const QString kScheduleAdd = QStringLiteral("Добавить");
inline const QString kScheduleDelete = QStringLiteral("Удалить");
inline const QString kScheduleRun = QStringLiteral("Выполнить сейчас");
inline const QString kScheduleExists = QStringLiteral("Расписание %1 уже есть.");
inline const QString kMeterMail = QStringLiteral("Почта для документов");
inline const QString kMailLogPage = QStringLiteral("Почта");

} // namespace qst::ui
