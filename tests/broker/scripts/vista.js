// A page stand-in in a local script host: creates the interrogator by its ProgID and has the broker run
// the logon interrogation (DoVistaInterrogation), printing the result.
//   cscript //nologo vista.js CREDENTIAL CONFIGURATION_URL POST_URL
// Exit code: 0 when the result is 0, 10 + the result otherwise, 2 for a script error (an uncaught one
// would exit 0 without a word).
var args = WScript.Arguments;
try {
  var interrogator = new ActiveXObject("Velmora.KESInterrogator");
  var result = interrogator.DoVistaInterrogation(args(0), args(1), args(2));
  WScript.Echo("result " + result);
  WScript.Quit(result == 0 ? 0 : 10 + result);
} catch (e) {
  WScript.Echo("error 0x" + (e.number >>> 0).toString(16) + " " + e.message);
  WScript.Quit(2);
}
