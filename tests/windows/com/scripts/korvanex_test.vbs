' Zyl.KorvaneX driven by VBScript: its protocol version in Korvane.ini of the Windows folder, and a
' download read through Buffer and EOF. VBScript cannot pass a variable to an [out] BSTR*, so the
' row's out-parameter is given by value: (unused).
'   cscript //nologo korvanex_test.vbs <state folder> <samples folder>
Option Explicit
Const ForReading = 1, ForWriting = 2
Dim fso, stateDir, samplesDir, checks, failures, ini, x, rows, want, n, r, unused, port
Set fso = CreateObject("Scripting.FileSystemObject")
stateDir = WScript.Arguments(0)
samplesDir = WScript.Arguments(1)
checks = 0
failures = 0

Sub Check(ok, what)
  checks = checks + 1
  If Not ok Then
    failures = failures + 1
    WScript.Echo "FAIL " & what
  End If
End Sub

Sub CheckEq(got, want, what)
  Check got = want, what & ": got [" & got & "], want [" & want & "]"
End Sub

Function ReadFile(path)
  ReadFile = ""
  If fso.FileExists(path) Then
    If fso.GetFile(path).Size > 0 Then ReadFile = fso.OpenTextFile(path, ForReading).ReadAll
  End If
End Function

Dim portFile
portFile = stateDir & "\v2\port"
If Not fso.FileExists(portFile) Then
  WScript.Echo "[  SKIPPED ] no simulator (" & portFile & ")"
  WScript.Quit 0
End If
port = "LAN:127.0.0.1:" & Trim(fso.OpenTextFile(portFile, ForReading).ReadLine)

ini = fso.GetSpecialFolder(0) & "\Korvane.ini"
fso.OpenTextFile(ini, ForWriting, True).Write "[Settings]" & vbCrLf & "X1ProtocolVersion=2" & vbCrLf
Set x = CreateObject("Zyl.KorvaneX")
Check InStr(ReadFile(ini), "X1ProtocolVersion=2.00") > 0, "Korvane.ini normalised: " & ReadFile(ini)

CheckEq x.OpenPort(port), 1, "OpenPort"
CheckEq x.SendCMD("021"), 1, "SendCMD 021"
want = Split(ReadFile(samplesDir & "\journal.csv"), vbCrLf)
n = 0
Do While n < 1000
  r = x.TryToRecv((unused))
  If r < 1 Then
    Check False, "TryToRecv " & r
    Exit Do
  End If
  If x.EOF = 1 Then Exit Do
  If n < UBound(want) Then CheckEq x.Buffer, want(n), "journal row " & (n + 1)
  n = n + 1
Loop
CheckEq n, UBound(want), "journal rows"
CheckEq x.Buffer, Chr(4), "Buffer after the end"
CheckEq x.ClosePort, 0, "ClosePort"
Set x = Nothing
fso.OpenTextFile(ini, ForWriting, True).Write "[Settings]" & vbCrLf & "X1ProtocolVersion=1.00" & vbCrLf

If failures = 0 Then WScript.Echo "OK " & checks & " checks" Else WScript.Echo failures & " of " & checks & " checks failed"
WScript.Quit failures
