' Downloads the terminal's journal into a CSV file.
'   cscript //nologo download_journal.vbs PORT FILE
' PORT names the terminal's port (COM3, USB, LAN:192.168.1.7:5000, ...); FILE is created or
' overwritten: one row per line, as the terminal sent it, lines ending in CR LF.
' Exit status: 0 on success, 1 on failure, 2 for missing arguments.
Option Explicit

If WScript.Arguments.Count <> 2 Then
  WScript.Echo "usage: cscript //nologo download_journal.vbs PORT FILE"
  WScript.Quit 2
End If

Dim ostrel, journal, file
file = WScript.Arguments(1)
On Error Resume Next
Set ostrel = CreateObject("Zyl.Ostrel2")
If Err.Number <> 0 Then
  WScript.Echo "cannot create Zyl.Ostrel2: is korvane.dll registered (regsvr32 korvane.dll)?"
  WScript.Quit 1
End If
On Error GoTo 0

' Every failure leaves its result code, stage and Russian message in the LastError properties.
Sub Fail(what)
  WScript.Echo what & " failed: result " & ostrel.LastErrorCode & " [" & ostrel.LastErrorContext & "] " & ostrel.LastErrorMsg
  WScript.Quit 1
End Sub

ostrel.Port = WScript.Arguments(0)
If ostrel.ConnectTerminal <> 1 Then Fail "connect"
' The terminal must hold a job and be ready to unload.
If ostrel.RecvPrepare <> 0 Then Fail "prepare"
' Table 0 is the journal. RecvTableAsStrings returns the rows as a collection and reports
' failures only through LastErrorCode.
Set journal = ostrel.RecvTableAsStrings(0)
If ostrel.LastErrorCode <> 0 Then Fail "download"
ostrel.RecvFinal
ostrel.DisconnectTerminal

ostrel.SaveCSVStrings file, journal, False
If ostrel.LastErrorCode <> 0 Then Fail "saving " & file
WScript.Echo journal.Count & " journal rows saved to " & file
