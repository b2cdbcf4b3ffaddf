' Zyl.Ostrel2 driven by VBScript against the simulators of the COM fixtures.
'   cscript //nologo ostrel2_test.vbs <state folder> <samples folder> <work folder>
' The build runs a Windows-1251 copy of this file, as a script saved on a Russian Windows would be.
' Prints one line per failed check and "OK <n> checks" when all passed; the exit status is the
' number of failures. Wine's script host exits 0 silently on an uncaught error, so the test
' requires the final line.
Option Explicit

Const E_FAIL = &H80004005
Const E_POINTER = &H80004003
' VBScript reports these two HRESULTs under its own error numbers.
Const VB_INVALID_ARGUMENT = 5   ' E_INVALIDARG
Const VB_NOT_SUPPORTED = 445    ' E_NOTIMPL
Const ForReading = 1

Dim fso, stateDir, samplesDir, workDir, checks, failures
Set fso = CreateObject("Scripting.FileSystemObject")
stateDir = WScript.Arguments(0)
samplesDir = WScript.Arguments(1)
workDir = WScript.Arguments(2)
checks = 0
failures = 0
If fso.FileExists(workDir & "\nothing.csv") Then fso.DeleteFile workDir & "\nothing.csv"

' ---- helpers ----

Sub Check(ok, what)
  checks = checks + 1
  If Not ok Then
    failures = failures + 1
    WScript.Echo "FAIL " & what
  End If
End Sub

' Non-ASCII characters shown by their Windows-1251 codes: the console output is not 1251.
Function Shown(value)
  Dim i, c, s
  s = ""
  For i = 1 To Len(value)
    c = Mid(value, i, 1)
    If Asc(c) >= 32 And Asc(c) < 127 Then s = s & c Else s = s & "\x" & Hex(Asc(c))
  Next
  Shown = s
End Function

Sub CheckEq(got, want, what)
  Check CStr(got) = CStr(want), what & ": got [" & Shown(CStr(got)) & "], want [" & Shown(CStr(want)) & "]"
End Sub

' Reads Err after a statement run under On Error Resume Next, then clears it.
Sub CheckError(want, what)
  CheckEq "0x" & Hex(Err.Number), "0x" & Hex(want), what & " error"
  Err.Clear
End Sub

Sub CheckDiag(ostrel, code, context, message, what)
  CheckEq ostrel.LastErrorCode, code, what & " LastErrorCode"
  CheckEq ostrel.LastErrorContext, context, what & " LastErrorContext"
  CheckEq ostrel.LastErrorMsg, message, what & " LastErrorMsg"
End Sub

Function ReadFile(path)
  ReadFile = ""
  If fso.FileExists(path) Then
    If fso.GetFile(path).Size > 0 Then ReadFile = fso.OpenTextFile(path, ForReading).ReadAll
  End If
End Function

' The same bytes: in ANSI mode every byte of a Windows-1251 file is one character.
Sub CheckSameFile(path, expectedPath, what)
  Check fso.FileExists(path), what & ": " & path & " exists"
  CheckEq Len(ReadFile(path)), fso.GetFile(expectedPath).Size, what & " size"
  Check ReadFile(path) = ReadFile(expectedPath), what & ": same bytes as " & expectedPath
End Sub

Function FileRows(path)
  Dim rows
  rows = Split(ReadFile(path), vbCrLf)
  ReDim Preserve rows(UBound(rows) - 1)   ' the last line ends with CR LF too
  FileRows = rows
End Function

Sub CheckRows(strings, path, what)
  Dim rows, row, n
  rows = FileRows(path)
  CheckEq strings.Count, UBound(rows) + 1, what & " Count"
  n = 0
  For Each row In strings
    If n <= UBound(rows) Then CheckEq row, rows(n), what & " row " & (n + 1)
    n = n + 1
  Next
  CheckEq n, strings.Count, what & " rows given by For Each"
End Sub

Function PortOf(sim)
  Dim path
  path = stateDir & "\" & sim & "\port"
  If Not fso.FileExists(path) Then
    WScript.Echo "[  SKIPPED ] no simulator (" & path & ")"
    WScript.Quit 0
  End If
  PortOf = "LAN:127.0.0.1:" & Trim(fso.OpenTextFile(path, ForReading).ReadLine)
End Function

Function Connected(sim)
  Dim ostrel
  Set ostrel = CreateObject("Zyl.Ostrel2")
  ostrel.Port = PortOf(sim)
  CheckEq ostrel.ConnectTerminal, 1, sim & " ConnectTerminal"
  Set Connected = ostrel
End Function

' ---- protocol v3: identity, journal download, upload, CSV files, error numbers, ports ----

Dim ostrel, port, journal, goods, operation, x, names, fromStrings, name, helper
port = PortOf("v3")
Set ostrel = Connected("v3")
CheckEq ostrel.Port, port, "Port"
CheckEq ostrel.LibraryVersion, "4.2.2.0", "LibraryVersion"
CheckEq ostrel.ProtocolVersion, "3.00", "ProtocolVersion"
CheckEq ostrel.RemoteProgName, "Ostrel", "RemoteProgName"
CheckEq ostrel.RemoteProgVersion, "1.0.0.0", "RemoteProgVersion"
CheckEq ostrel.RemoteDevName, "Terminal", "RemoteDevName"
CheckEq ostrel.RemoteDevID, "00000000", "RemoteDevID"
CheckDiag ostrel, 1, "Подключение", _
  "Подключен терминал Terminal (DeviceID: 00000000), программа Ostrel (версия ""1.0.0.0""). Порт " & port, "connect"

CheckEq ostrel.RecvPrepare, 0, "RecvPrepare"
CheckDiag ostrel, 0, "", "", "RecvPrepare"
Set journal = ostrel.RecvTableAsStrings(0)
CheckEq ostrel.LastErrorCode, 0, "RecvTableAsStrings(0) LastErrorCode"
CheckRows journal, samplesDir & "\journal.csv", "journal"
CheckEq ostrel.RecvFinal, 0, "RecvFinal"

' Downloaded rows saved as CSV give the terminal's file back; a second save with append doubles it.
ostrel.SaveCSVStrings workDir & "\journal.csv", journal, False
CheckEq ostrel.LastErrorCode, 0, "SaveCSVStrings LastErrorCode"
CheckSameFile workDir & "\journal.csv", samplesDir & "\journal.csv", "saved journal"
ostrel.SaveCSVStrings workDir & "\journal.csv", journal, True
CheckEq fso.GetFile(workDir & "\journal.csv").Size, 2 * fso.GetFile(samplesDir & "\journal.csv").Size, "appended journal size"

On Error Resume Next
x = journal.Item(0)
CheckError VB_INVALID_ARGUMENT, "Item(0)"
x = journal.Item(journal.Count + 1)
CheckError E_FAIL, "Item(Count + 1)"
ostrel.SaveCSVEnum workDir & "\nothing.csv", Nothing, False
CheckError E_POINTER, "SaveCSVEnum with Nothing"
x = ostrel.SendTable_obsolete(7, journal.Enumerator)
CheckError VB_NOT_SUPPORTED, "SendTable_obsolete"
On Error GoTo 0
Check Not fso.FileExists(workDir & "\nothing.csv"), "SaveCSVEnum with Nothing writes no file"

' CSV read and write round trip, then the same rows uploaded and processed with a new operation ID.
Set goods = ostrel.ReadCSVStrings(samplesDir & "\goods.csv")
CheckEq ostrel.LastErrorCode, 0, "ReadCSVStrings LastErrorCode"
ostrel.SaveCSVStrings workDir & "\goods.csv", goods, False
CheckSameFile workDir & "\goods.csv", samplesDir & "\goods.csv", "goods read and saved"
' What an earlier upload left must not pass for this one.
If fso.FileExists(stateDir & "\v3\data\uploaded\goods.csv") Then fso.DeleteFile stateDir & "\v3\data\uploaded\goods.csv"
operation = ostrel.CurrentID(2)
CheckEq ostrel.SendPrepare, 0, "SendPrepare"
CheckEq ostrel.SendTableAsStrings(7, goods), 0, "SendTableAsStrings(7)"
CheckEq ostrel.SendFinal(5), 0, "SendFinal(5)"
CheckEq ostrel.CurrentID(2), 5, "CurrentID(2) after SendFinal(5)"
' The simulator is shared: its operation ID goes back.
CheckEq ostrel.SetCurrentID(2, operation), 0, "SetCurrentID(2) back"
CheckSameFile stateDir & "\v3\data\uploaded\goods.csv", samplesDir & "\goods.csv", "goods on the terminal"

Set x = ostrel.ReadCSVStrings(workDir & "\missing.csv")
CheckEq x.Count, 0, "ReadCSVStrings of a missing file Count"
CheckDiag ostrel, -3, "Чтение из CSV-файла", "Файл """ & workDir & "\missing.csv"" не найден", "missing CSV file"

' Ports: the enumerator of AvailablePorts through EnumHelper, and the collection of AvailablePortsStrings.
Set helper = CreateObject("Zyl.EnumHelper")
helper.Attach ostrel.AvailablePorts
names = ""
For Each name In helper
  names = names & name & ","
Next
Check Right(names, Len(",USB,ActiveSync,")) = ",USB,ActiveSync,", "AvailablePorts ends with USB, ActiveSync: " & names
fromStrings = ""
For Each name In ostrel.AvailablePortsStrings
  fromStrings = fromStrings & name & ","
Next
CheckEq fromStrings, names, "AvailablePortsStrings"
helper.Detach
ostrel.DisconnectTerminal
Set ostrel = Nothing

' ---- failures: a terminal without a job, a terminal that never answers ----

Set ostrel = Connected("nojob")
CheckEq ostrel.RecvPrepare, -101, "RecvPrepare without a job"
CheckDiag ostrel, -101, "Подготовка к выгрузке данных", "В терминале не загружено задание!", "no job"
Set ostrel = Nothing

Set ostrel = CreateObject("Zyl.Ostrel2")
port = PortOf("silent")
ostrel.Port = port
CheckEq ostrel.ConnectTerminal, -7, "ConnectTerminal to a silent terminal"
CheckDiag ostrel, -7, "Подключение", "Терминал не подключен (" & port & ")", "silent terminal"
Set ostrel = Nothing

' ---- two terminals from one thread, one object each: protocol v2 beside v3 ----

Dim other, r
Set ostrel = Connected("v2")
Set other = Connected("v3")
CheckEq ostrel.ProtocolVersion, "2.00", "v2 ProtocolVersion"
CheckEq ostrel.RecvPrepare, 0, "v2 RecvPrepare"
CheckEq other.RecvPrepare, 0, "v3 RecvPrepare beside v2"
CheckRows ostrel.RecvTableAsStrings(1), samplesDir & "\journal2.csv", "v2 journal2"
CheckEq ostrel.LastErrorCode, 0, "v2 journal2 LastErrorCode"
CheckRows other.RecvTableAsStrings(0), samplesDir & "\journal.csv", "v3 journal beside v2"
' CloseAllForms has an [in, out] parameter: a variable is refused (type mismatch), a value in
' parentheses is taken and the result read from LastErrorCode.
r = 77
On Error Resume Next
other.CloseAllForms r
CheckError 13, "CloseAllForms with a variable"
On Error GoTo 0
other.CloseAllForms (r)
CheckEq other.LastErrorCode, 0, "CloseAllForms (r) LastErrorCode"
ostrel.DisconnectTerminal
ostrel.CloseAllForms (r)
CheckEq ostrel.LastErrorCode, -8, "CloseAllForms (r) after DisconnectTerminal"
Set ostrel = Nothing
Set other = Nothing

If failures = 0 Then WScript.Echo "OK " & checks & " checks" Else WScript.Echo failures & " of " & checks & " checks failed"
WScript.Quit failures
