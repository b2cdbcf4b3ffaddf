' Downloads the terminal's journal into a CSV file.
'   cscript //nologo download_journal.vbs PORT FILE
' PORT names the terminal's port (COM3, USB, LAN:192.168.1.7:5000, ...); FILE is created or
' replaced: one row per line, as the terminal sent it, lines ending in CR LF. FILE is replaced
' only when the whole journal has arrived and been saved: after any failure an existing FILE is
' left as it was and no part of the journal is written.
' Exit status: 0 on success, 1 on failure (with a message), 2 for missing arguments.
Option Explicit

If WScript.Arguments.Count <> 2 Then
  WScript.Echo "usage: cscript //nologo download_journal.vbs PORT FILE"
  WScript.Quit 2
End If

Dim ostrel, journal, fso, file, partial
file = WScript.Arguments(1)
partial = file & ".partial"
Set fso = CreateObject("Scripting.FileSystemObject")
On Error Resume Next
Set ostrel = CreateObject("Zyl.Ostrel2")
If Err.Number <> 0 Then
  WScript.Echo "cannot create Zyl.Ostrel2: is korvane.dll registered (regsvr32 korvane.dll)?"
  WScript.Quit 1
End If
On Error GoTo 0

' Every failure leaves its result code, stage and Russian message in the LastError properties.
' The port is closed on every way out: after a failed ConnectTerminal it may still be open.
Sub Fail(what)
  WScript.Echo what & " failed: result " & ostrel.LastErrorCode & " [" & ostrel.LastErrorContext & "] " & ostrel.LastErrorMsg
  ostrel.DisconnectTerminal
  If fso.FileExists(partial) Then fso.DeleteFile partial
  WScript.Quit 1
End Sub

ostrel.Port = WScript.Arguments(0)
If ostrel.ConnectTerminal <> 1 Then Fail "connect"
' The terminal must hold a job and be ready to unload.
If ostrel.RecvPrepare <> 0 Then Fail "prepare"
' Table 0 is the journal. RecvTableAsStrings returns the rows received so far even when the
' download fails (a terminal that stops early, a broken line): only LastErrorCode tells.
Set journal = ostrel.RecvTableAsStrings(0)
If ostrel.LastErrorCode <> 0 Then Fail "download"
If ostrel.RecvFinal <> 0 Then Fail "finishing the download"
ostrel.DisconnectTerminal

' Saved beside FILE first, then put in its place, so that a failed save (a full disk) never
' leaves a partial table under FILE's name.
ostrel.SaveCSVStrings partial, journal, False
If ostrel.LastErrorCode <> 0 Then Fail "saving " & partial
On Error Resume Next
If fso.FileExists(file) Then fso.DeleteFile file
fso.MoveFile partial, file
If Err.Number <> 0 Then
  WScript.Echo "replacing " & file & " failed: " & Err.Description & " (the journal is in " & partial & ")"
  WScript.Quit 1
End If
On Error GoTo 0
WScript.Echo journal.Count & " journal rows saved to " & file
