// Creates each object by both of its ProgIDs and reads a member through the type library.
// Prints one line per ProgID; exit 0 when all were created, else the number of failures.
var progIds = ["Velmora.KESInterrogator", "Velmora.KESInterrogator.1", "Velmora.KESInstaller", "Velmora.KESInstaller.1"];
var failures = 0;
for (var i = 0; i < progIds.length; i++) {
  try {
    var object = new ActiveXObject(progIds[i]);
    WScript.Echo(progIds[i] + " created");
  } catch (e) {
    WScript.Echo(progIds[i] + " failed " + (e.number >>> 0).toString(16));
    failures++;
  }
}
WScript.Quit(failures);
