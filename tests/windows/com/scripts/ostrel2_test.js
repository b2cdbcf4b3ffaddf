// Zyl.Ostrel2, Zyl.OstrelStrings and Zyl.EnumHelper driven by JScript against the simulators of
// the COM fixtures.
//   cscript //nologo ostrel2_test.js <state folder> <samples folder>
// The build runs a Windows-1251 copy of this file. JScript sees HRESULTs unchanged and reads
// characters by code point, which VBScript under Wine cannot. Prints one line per failed check and
// "OK <n> checks" when all passed; the exit status is the number of failures.

var E_NOTIMPL = 0x80004001, E_FAIL = 0x80004005, E_INVALIDARG = 0x80070057;
var ForReading = 1;

var fso = new ActiveXObject("Scripting.FileSystemObject");
var stateDir = WScript.Arguments(0), samplesDir = WScript.Arguments(1);
var checks = 0, failures = 0;

// ---- helpers ----

function check(ok, what) {
  checks++;
  if (!ok) {
    failures++;
    WScript.Echo("FAIL " + what);
  }
}

// Every character as its code point: the console output is not Unicode.
function shown(value) {
  var s = String(value), out = "";
  for (var i = 0; i < s.length; i++) {
    var c = s.charCodeAt(i);
    out += c >= 32 && c < 127 ? s.charAt(i) : "\\u" + ("000" + c.toString(16)).slice(-4);
  }
  return out;
}

// Strings compared code point by code point: Wine's JScript compares two concatenated strings
// that begin alike by their beginnings only.
function same(a, b) {
  if (typeof a != "string" || typeof b != "string") return a === b;
  if (a.length != b.length) return false;
  for (var i = 0; i < a.length; i++) {
    if (a.charCodeAt(i) != b.charCodeAt(i)) return false;
  }
  return true;
}

function checkEq(got, want, what) {
  check(same(got, want), what + ": got [" + shown(got) + "], want [" + shown(want) + "]");
}

// The HRESULT that a call fails with, 0 when it succeeds.
function errorOf(call) {
  try {
    call();
    return 0;
  } catch (e) {
    return e.number >>> 0;
  }
}

function checkError(call, want, what) {
  checkEq("0x" + errorOf(call).toString(16), "0x" + want.toString(16), what + " error");
}

function checkDiag(ostrel, code, context, message, what) {
  checkEq(ostrel.LastErrorCode, code, what + " LastErrorCode");
  checkEq(ostrel.LastErrorContext, context, what + " LastErrorContext");
  checkEq(ostrel.LastErrorMsg, message, what + " LastErrorMsg");
}

function readFile(path) {
  if (!fso.FileExists(path) || fso.GetFile(path).Size == 0) return "";
  return fso.OpenTextFile(path, ForReading).ReadAll();
}

function fileRows(path) {
  var rows = readFile(path).split("\r\n");
  rows.pop();   // the last line ends with CR LF too
  return rows;
}

function enumerated(collection) {
  var items = [];
  for (var e = new Enumerator(collection); !e.atEnd(); e.moveNext()) items.push(e.item());
  return items;
}

function checkRows(items, path, what) {
  var rows = fileRows(path);
  checkEq(items.length, rows.length, what + " row count");
  for (var i = 0; i < rows.length && i < items.length; i++) checkEq(items[i], rows[i], what + " row " + (i + 1));
}

function portOf(sim) {
  var path = stateDir + "\\" + sim + "\\port";
  if (!fso.FileExists(path)) {
    WScript.Echo("[  SKIPPED ] no simulator (" + path + ")");
    WScript.Quit(0);
  }
  return "LAN:127.0.0.1:" + fso.OpenTextFile(path, ForReading).ReadLine().replace(/\s+/g, "");
}

function connected(sim) {
  var ostrel = new ActiveXObject("Zyl.Ostrel2");
  ostrel.Port = portOf(sim);
  checkEq(ostrel.ConnectTerminal(), 1, sim + " ConnectTerminal");
  return ostrel;
}

// ---- protocol v3 ----

var ostrel = connected("v3");
checkEq(ostrel.LastErrorContext, "Подключение", "connect LastErrorContext");
checkEq(ostrel.LastErrorContext.charCodeAt(0), 0x041F, "connect LastErrorContext first code point");

// The service table has no announced row count; its rows come through new Enumerator.
checkEq(ostrel.RecvPrepare(), 0, "RecvPrepare");
var service = ostrel.RecvTableAsStrings(9);
checkEq(ostrel.LastErrorCode, 0, "RecvTableAsStrings(9) LastErrorCode");
checkRows(enumerated(service), samplesDir + "\\service.csv", "service");
checkEq(service.Count, fileRows(samplesDir + "\\service.csv").length, "service Count");
checkEq(service(1), fileRows(samplesDir + "\\service.csv")[0], "service default member");

checkError(function () { return service.Item(0); }, E_INVALIDARG, "Item(0)");
checkError(function () { return service.Item(service.Count + 1); }, E_FAIL, "Item(Count + 1)");
checkError(function () { return ostrel.SendTable_obsolete(8, service.Enumerator); }, E_NOTIMPL, "SendTable_obsolete");

// An enumerator (not a collection) from ReadCSVEnum, uploaded with SendTable2; SendFinal(0) leaves
// the operation ID alone.
var goods2Path = samplesDir + "\\goods2.csv";
var helper = new ActiveXObject("Zyl.EnumHelper");
helper.Attach(ostrel.ReadCSVEnum(goods2Path));
checkRows(enumerated(helper), goods2Path, "ReadCSVEnum through EnumHelper");
var uploaded = stateDir + "\\v3\\data\\uploaded\\goods2.csv";
if (fso.FileExists(uploaded)) fso.DeleteFile(uploaded);   // an earlier upload must not pass for this one
var operation = ostrel.CurrentID(2);
checkEq(ostrel.SendPrepare(), 0, "SendPrepare");
checkEq(ostrel.SendTable2(8, ostrel.ReadCSVEnum(goods2Path)), 0, "SendTable2(8)");
checkEq(ostrel.SendFinal(0), 0, "SendFinal(0)");
checkEq(ostrel.CurrentID(2), operation, "CurrentID(2) after SendFinal(0)");
checkEq(readFile(uploaded), readFile(goods2Path), "goods2 on the terminal");

// EnumHelper over AvailablePorts: Enumerator, Next to the end, Reset, Skip, Clone, Detach.
helper.Attach(ostrel.AvailablePorts);
var ports = enumerated(helper);
checkEq(ports.slice(-2).join(","), "USB,ActiveSync", "AvailablePorts ends with");
checkEq(ports.join(","), enumerated(ostrel.AvailablePortsStrings).join(","), "AvailablePortsStrings");
var walked = [];
for (var port = helper.Next(); port !== undefined; port = helper.Next()) walked.push(port);
checkEq(walked.join(","), ports.join(","), "EnumHelper.Next to the end");
helper.Reset();
helper.Skip(ports.length - 1);
checkEq(helper.Next(), "ActiveSync", "Next after Reset and Skip");
helper.Reset();
checkEq(enumerated(helper).join(","), ports.join(","), "Enumerator over EnumHelper after Reset");
checkError(function () { helper.AttachAsUntyped(service); }, E_INVALIDARG, "AttachAsUntyped of a collection");
checkEq(helper.Next(), undefined, "Next after a refused AttachAsUntyped");
helper.AttachAsUntyped(service.Enumerator);
checkEq(helper.Next(), fileRows(samplesDir + "\\service.csv")[0], "Next after AttachAsUntyped");
helper.Detach();
checkEq(helper.Next(), undefined, "Next after Detach");
ostrel.DisconnectTerminal();

// ---- a terminal without a job: the Russian message by code point ----

ostrel = connected("nojob");
checkEq(ostrel.RecvPrepare(), -101, "RecvPrepare without a job");
checkDiag(ostrel, -101, "Подготовка к выгрузке данных", "В терминале не загружено задание!", "no job");
checkEq(ostrel.LastErrorMsg.charCodeAt(0), 0x0412, "no job message first code point");
checkEq(ostrel.LastErrorMsg.length, 33, "no job message length");

WScript.Echo(failures == 0 ? "OK " + checks + " checks" : failures + " of " + checks + " checks failed");
WScript.Quit(failures);
