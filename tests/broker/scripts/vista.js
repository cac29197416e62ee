// A page stand-in in a local script host: creates the interrogator by its ProgID and has the broker run
// the logon interrogation (DoVistaInterrogation), printing the result.
//   cscript //nologo vista.js CREDENTIAL CONFIGURATION_URL POST_URL
// Exit code: 0 when the result is 0, 10 + the result otherwise, 2 for a script error (an uncaught one
// would exit 0 without a word). The last line, "clock START CREATED RETURNED", gives the wall-clock times
// (milliseconds since 1970) when the script began, when the object was created and when the call
// returned, for a caller that times the stages.
var args = WScript.Arguments;
var clock = [new Date().getTime()];
var code = 2;
try {
  var interrogator = new ActiveXObject("Velmora.KESInterrogator");
  clock.push(new Date().getTime());
  var result = interrogator.DoVistaInterrogation(args(0), args(1), args(2));
  clock.push(new Date().getTime());
  WScript.Echo("result " + result);
  code = result == 0 ? 0 : 10 + result;
} catch (e) {
  WScript.Echo("error 0x" + (e.number >>> 0).toString(16) + " " + e.message);
}
WScript.Echo("clock " + clock.join(" "));
WScript.Quit(code);
