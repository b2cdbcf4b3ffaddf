// The link's own texts: messages, log lines and stage names, each written once.
#pragma once

namespace korvane::link_text {

// Stage names (contexts of the diagnostic record).
inline constexpr const char* kCtxConnect = "Подключение";
inline constexpr const char* kCtxLinkCheck = "Проверка связи";
inline constexpr const char* kCtxReadiness = "Проверка готовности";
inline constexpr const char* kCtxPrepareUnload = "Подготовка к выгрузке";
inline constexpr const char* kCtxFilters = "Настройка Фильтров";
inline constexpr const char* kCtxTableParams = "Получение параметров таблицы";
inline constexpr const char* kCtxUnloadTable = "Выгрузка таблицы";
inline constexpr const char* kCtxBeep = "Звуковая команда";
inline constexpr const char* kCtxClearTable = "Очистка таблицы";
inline constexpr const char* kCtxSetCurrentId = "Установка текущего ID";
inline constexpr const char* kCtxGetCurrentId = "Получение текущего ID";
inline constexpr const char* kCtxEnableLoading = "Включение режима загрузки";
inline constexpr const char* kCtxLoadTable = "Загрузка таблицы";
inline constexpr const char* kCtxTerminalProcessing = "Обработка данных терминалом";
inline constexpr const char* kCtxFilterId = "Установка фильтра по ID";
inline constexpr const char* kCtxFilterText = "Установка фильтра ш/к";
inline constexpr const char* kCtxMainForm = "Переход в главную форму";
inline constexpr const char* kCtxReboot = "Перезагрузка терминала";
inline constexpr const char* kCtxPrepareUnloadData = "Подготовка к выгрузке данных";
inline constexpr const char* kCtxUnloadData = "Выгрузка данных";
inline constexpr const char* kCtxProcessUploaded = "Обработка загруженных данных";
inline constexpr const char* kCtxSaveCsv = "Сохранение в CSV-файл";
inline constexpr const char* kCtxReadCsv = "Чтение из CSV-файла";

// Composition.
inline constexpr const char* kSeparator = " - ";
inline constexpr const char* kUnknown = "<неизвестно>";
inline constexpr const char* kInitialProgVersion = "0.0.0.0";
inline constexpr const char* kDiagLine = "[Диагностика] Этап: %s, Код: %i, Сообщение: %s";
inline constexpr const char* kExceptionIn = "(Exception) Исключение в ";
inline constexpr const char* kTablePrefix = "Таблица ";

// Link core.
inline constexpr const char* kNoConnection = "Нет подключения к терминалу";
inline constexpr const char* kPortOpened = "Открыт порт %s (%s) (тип порта %u)";
inline constexpr const char* kPortNotFound = "Порт не найден (";
inline constexpr const char* kPortBusy = "Порт занят другим приложением (";
inline constexpr const char* kPortBadName = "Неверное имя порта (";
inline constexpr const char* kPortUnknownError = "Неизвестная ошибка при открытии порта (";
inline constexpr const char* kOpenException = "(Exception) Исключение при открытии порта";
inline constexpr const char* kCloseException = "(Exception) Исключение при закрытии порта";
inline constexpr const char* kPortClosed = "Закрыт порт %s";
inline constexpr const char* kSyncAsk = "[SyncRemoteVersion] Запрос версии протокола удаленного устройства";
inline constexpr const char* kSyncAnswer =
    "[SyncRemoteVersion] Получен ответ: версия протокола удаленного устройства 0x%X";
inline constexpr const char* kSyncChoseV3 = "[SyncRemoteVersion] Выбран протокол обмена: v3";
inline constexpr const char* kSyncChoseV2 = "[SyncRemoteVersion] Выбран протокол обмена: v2";
inline constexpr const char* kSyncLinkError = "[SyncRemoteVersion] Ошибка связи с устройством (%i)";
inline constexpr const char* kSyncNoAnswer = "[SyncRemoteVersion] Нет ответа о версии, выбран протокол обмена: v2";
inline constexpr const char* kSendV2Failed = "Ошибка при отправке данных, протокол v2 (Код: %i, описание: %s)";
inline constexpr const char* kSendV3Failed = "Ошибка при отправке данных, протокол v3 (Код: %i, описание: %s)";
inline constexpr const char* kCacheFailed = "Ошибка при отправке кэша (%i:%i): %s";
inline constexpr const char* kRecvV2Failed = "Ошибка при приеме данных, протокол v2 (Код: %i, описание: %s)";
inline constexpr const char* kRecvV3Failed = "Ошибка при приеме данных, протокол v3 (Код: %i, описание: %s)";
inline constexpr const char* kRecvV3Timeout = "Превышен таймаут при ожидании данных, протокол v3";
inline constexpr const char* kRecvNoBuffer =
    "Неверные аргументы вызова - буфер для приема данных не задан или имеет нулевой размер.";
inline constexpr const char* kRecvNotRs = "Неверный формат при приеме данных. Ожидали RS, а получили 0x%2.2X.";
inline constexpr const char* kRowTooLongToSend =
    "Строка длиной %u байт не может быть передана по протоколу v%u: допустимо не более %u байт";
inline constexpr const char* kRecvRowTooLong = "Принятая строка длиннее %u байт не помещается в буфер приема";
inline constexpr const char* kLineTooPoor =
    "Линия связи слишком зашумлена: из последних %u кадров повторно переданы или повреждены %u, искажено около "
    "%.1f%% байт (протокол v%u). Обмен прерван.";
inline constexpr const char* kCmdLinkError = "Ошибка связи с устройством (Код: %i, описание: %s)";
inline constexpr const char* kCmdSendV3Failed = "Ошибка при отправке команды, протокол v3 (Код: %i, описание: %s)";
inline constexpr const char* kLinkV3Error = "Ошибка связи, протокол v3 (Код: %i, описание: %s)";
inline constexpr const char* kPeerRestartedV3 =
    "Терминал перезапустил соединение, протокол v3 (Код: %i, описание: неподтвержденные данные потеряны)";
inline constexpr const char* kCmdAnswerV3Failed =
    "Ошибка при приеме ответа на команду, протокол v3 (Код: %i, описание: %s)";
inline constexpr const char* kCmdAnswerV3Timeout = "Превышен таймаут при приеме ответа на команду, протокол v3";
inline constexpr const char* kCmdSendV2Failed = "Ошибка при отправке команды, протокол v2 (Код: %i, описание: %s)";
inline constexpr const char* kCmdAnswerV2Failed =
    "Ошибка при приеме ответа на команду, протокол v2 (Код: %i, описание: %s)";
inline constexpr const char* kCmdAnswerNotEnq = "Неверный ответ на команду, ожидался ENQ, а принят 0x%2.2X";
inline constexpr const char* kCmdAnswerMismatch = "Неверный формат ответа на команду";
inline constexpr const char* kNotConnected = "Терминал не подключен";
inline constexpr const char* kCheckV2Failed = "Ошибка при проверке связи, протокол v2 (Код: %i, описание: %s)";
inline constexpr const char* kCheckV3Failed = "Ошибка при проверке связи, протокол v3 (Код: %i, описание: %s)";
inline constexpr const char* kCheckV3Timeout =
    "Превышен таймаут при ожидании подтверждения связи, протокол v3 - устройство отвечает, но программа не "
    "готова к обмену";
inline constexpr const char* kCheckNotEnq = "Неверный ответ подтверждения связи. Ожидали ENQ, а получили 0x%2.2X.";
inline constexpr const char* kCheckMismatch = "Неверный формат подтверждения связи";

// Commands.
inline constexpr const char* kSyncDateTimeOk = "Синхронизация даты/времени (cmd: 303)";
inline constexpr const char* kSyncDateTimeFailed = "Ошибка установки даты/времени на терминале";
inline constexpr const char* kReadinessFailed = "Ошибка проверки готовности терминала";
inline constexpr const char* kRecvModeOk = "Включен режим выгрузки таблиц";
inline constexpr const char* kRecvModeFailed = "Ошибка при включении режима выгрузки";
inline constexpr const char* kFiltersResetOk = "Все фильтры в терминале сброшены";
inline constexpr const char* kFiltersResetFailed = "Ошибка при сбросе фильтров";
inline constexpr const char* kLinesCountOk = "[Параметры таблиц в терминале] Количество строк в таблице %s: %i";
inline constexpr const char* kLinesCountFailed = "Ошибка запроса количества строк в таблице ";
inline constexpr const char* kRefuseUnload = " не поддерживает операцию выгрузки.";
inline constexpr const char* kDownloadStartOk = "Начало выгрузки таблицы %s (cmd: %s)";
inline constexpr const char* kDownloadStartFailed = "Ошибка при запросе данных таблицы ";
inline constexpr const char* kBeepOk = "Звуковая команда";
inline constexpr const char* kBeepFailed = "Ошибка при отправке звуковой команды";
inline constexpr const char* kClearTableOk = "Очищена таблица ";
inline constexpr const char* kClearTableFailed = "Ошибка при запросе очистки данных таблицы ";
inline constexpr const char* kRefuseClear = " не поддерживает операцию очистки данных.";
inline constexpr const char* kSetIdOk = "Установлен текущий ID для таблицы %s: ID=%i";
inline constexpr const char* kSetIdCmdFailed = "Ошибка при команде установки ID таблицы ";
inline constexpr const char* kSetIdParamFailed = "Ошибка при отправке ID таблицы ";
inline constexpr const char* kSetIdFlushFailed = "Ошибка при завершении установки ID таблицы ";
inline constexpr const char* kSetIdBadId = " - ID должен быть больше нуля или '-1'.";
inline constexpr const char* kRefuseSetId = " не поддерживает операцию установки текущего ID.";
inline constexpr const char* kGetIdOk = "Получен текущий ID таблицы %s: ID=%i";
inline constexpr const char* kGetIdFailed = "Ошибка запроса текущего ID таблицы ";
inline constexpr const char* kRefuseGetId = " не поддерживает операцию получения текущего ID.";
inline constexpr const char* kLoadingModeOk = "Включен режим загрузки таблиц";
inline constexpr const char* kLoadingModeFailed = "Ошибка при включении режима загрузки таблиц";
inline constexpr const char* kUploadStartOk = "Начало загрузки таблицы %s (cmd %s)";
inline constexpr const char* kUploadStartFailed = "Ошибка при команде загрузки таблицы ";
inline constexpr const char* kRefuseUpload = " не поддерживает операцию загрузки данных.";
inline constexpr const char* kParseCmdFailed = "Ошибка при включении режима обработки загруженных таблиц";
inline constexpr const char* kParseStarted = "Обработка загруженных данных терминалом";
inline constexpr const char* kParseWaitFailed = "Ошибка при ожидании обработки загруженных таблиц";
inline constexpr const char* kParseDone = "Обработка загруженных данных терминалом завершена";
inline constexpr const char* kTerminalError = "Ошибка в терминале - ";
inline constexpr const char* kParseFailed = "Ошибка при обработке данных терминалом - ";
inline constexpr const char* kParseWrongTag = "Неправильный ответ терминала, ожидали SYNC, а получили ";
inline constexpr const char* kFilterIdOk = "Установлен фильтр в таблице %s: ID=%u";
inline constexpr const char* kFilterIdFailed = "Ошибка установки фильтра по ID в таблице ";
inline constexpr const char* kFilterIdNegative = " - ID не может быть меньше нуля.";
inline constexpr const char* kRefuseFilterId = " не поддерживает операцию установки фильтра по ID.";
inline constexpr const char* kFilterTextOk = "Установлен фильтр в таблице %s: ш/к=%s";
inline constexpr const char* kFilterTextFailed = "Ошибка установки фильтра ш/к в таблице ";
inline constexpr const char* kFilterTextEmptyPrefix = "Ошибка установки фильтра в таблице ";
inline constexpr const char* kFilterTextEmpty = " - фильтр не указан.";
inline constexpr const char* kRefuseFilterText = " не поддерживает операцию установки фильтра по коду или ш/к.";
inline constexpr const char* kCloseFormsOk = "Передана команда закрытия всех форм";
inline constexpr const char* kCloseFormsFailed = "Ошибка при команде \"закрыть все окна\"";
inline constexpr const char* kRebootOk = "Передана команда перезагрузки терминала";
inline constexpr const char* kRebootFailed = "Ошибка при команде \"перезагрузка терминала\"";
inline constexpr const char* kSoftwareOk = "Прошивка \"%s\", версия \"%s\"";
inline constexpr const char* kSoftwareFailed = "Ошибка запроса версии программы в терминале";
inline constexpr const char* kHardwareOk = "Модель \"%s\", идентификатор \"%s\"";
inline constexpr const char* kHardwareFailed = "Ошибка запроса серийного номера терминала";

// Connecting and readiness.
inline constexpr const char* kOpenPortFailed = "Ошибка открытия порта ";
inline constexpr const char* kConnectedText = "Подключен терминал ";
inline constexpr const char* kConnectedDeviceId = " (DeviceID: ";
inline constexpr const char* kConnectedProgram = "), программа ";
inline constexpr const char* kConnectedVersion = " (версия \"";
inline constexpr const char* kConnectedPort = "\"). Порт ";
inline constexpr const char* kNoJob = "В терминале не загружено задание!";
inline constexpr const char* kNotReadyCode = "Терминал не готов, код: %i";
inline constexpr const char* kNotReady = "Терминал не готов выгружать данные - ";

// Tables.
inline constexpr const char* kRowRecvFailed = "Ошибка при получении строки таблицы ";
inline constexpr const char* kRowEotLog = "[%s] <EOT>";
inline constexpr const char* kRowLog = "[%s] %s";
inline constexpr const char* kNoRows = "В терминале нет данных для выгрузки.";
inline constexpr const char* kTableRecvFailed =
    "Ошибка при получении таблицы, ожидали %u строк, а получили %u строк.\n--- Приняты данные ---\n";
inline constexpr const char* kTableRecvFailedEnd = "----------------------";
inline constexpr const char* kUnloadInterrupted =
    "Выгрузка данных неожиданно прервалась - ожидали %u строк, а получили %u строк.";
inline constexpr const char* kRowNotText = "Некорректный тип строки №%u в таблице \"%s\", должен быть BSTR.";
inline constexpr const char* kRowSendFailed = "Ошибка при отправке строки таблицы ";
inline constexpr const char* kRowTooLongToLoad =
    "Строка №%u таблицы \"%s\" длиной %u байт не может быть передана по протоколу v%u: допустимо не более %u "
    "байт. Таблица не загружена.";
inline constexpr const char* kRowStartsWithEot =
    "Строка №%u таблицы \"%s\" начинается с символа EOT (0x04), который терминал принимает за конец данных. "
    "Таблица не загружена.";
inline constexpr const char* kRowTooLongToReceive =
    "Строка №%u таблицы \"%s\" длиннее %u байт и не может быть принята - выгрузка прервана.";
inline constexpr const char* kUploadFlushFailed = "Ошибка при завершении загрузки таблицы ";
inline constexpr const char* kNegativeOperationId =
    "Неверные агрументы вызова - ID текущей операции не может быть меньше нуля.";

// CSV files.
inline constexpr const char* kCsvOpenWriteFailed = "Ошибка открытия файла ";
inline constexpr const char* kCsvForWriting = " для записи";
inline constexpr const char* kCsvRowNotText = "Некорректный тип строки №%u, должен быть BSTR.";
inline constexpr const char* kCsvFile = "Файл ";
inline constexpr const char* kCsvNotFound = " не найден";
inline constexpr const char* kCsvForReading = " для чтения (код ошибки %i)";

}  // namespace korvane::link_text
