/* A process that offers its own instance of the broker pipe (as anyone could) and hands the first client
   a command. It writes to the file named by its argument what came of it: "connected N" with the bytes
   it could read back (the broker must send none), or "none" when no client came within 20 s. */
#include <windows.h>
#include <stdio.h>

int main(int argc, char** argv) {
  static const unsigned char kCommand[] = {14, 0, 0, 0, '1', 0, ' ', 0, 'a', 0, ' ', 0, 'b', 0, ' ', 0, 'c', 0};
  char reply[1024];
  DWORD done = 0, read = 0;
  OVERLAPPED overlapped = {0};
  HANDLE pipe;
  FILE* out;
  int connected = 0;
  if (argc < 2) return 2;
  pipe = CreateNamedPipeW(L"\\\\.\\Pipe\\RQKESIPipe", PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 1024, 1024, 0,
                          NULL);
  if (pipe == INVALID_HANDLE_VALUE) return 3;
  overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  if (ConnectNamedPipe(pipe, &overlapped) || GetLastError() == ERROR_PIPE_CONNECTED) {
    connected = 1;
  } else if (GetLastError() == ERROR_IO_PENDING && WaitForSingleObject(overlapped.hEvent, 20000) == WAIT_OBJECT_0) {
    connected = 1;
  }
  if (connected) {
    ResetEvent(overlapped.hEvent);
    WriteFile(pipe, kCommand, 4, &done, &overlapped);
    GetOverlappedResult(pipe, &overlapped, &done, TRUE);
    WriteFile(pipe, kCommand + 4, sizeof kCommand - 4, &done, &overlapped);
    GetOverlappedResult(pipe, &overlapped, &done, TRUE);
    ResetEvent(overlapped.hEvent);
    if (ReadFile(pipe, reply, sizeof reply, &read, &overlapped) || GetLastError() == ERROR_IO_PENDING) {
      if (WaitForSingleObject(overlapped.hEvent, 3000) != WAIT_OBJECT_0) CancelIoEx(pipe, &overlapped);
      if (!GetOverlappedResult(pipe, &overlapped, &read, TRUE)) read = 0;
    }
  }
  out = fopen(argv[1], "w");
  if (!out) return 4;
  if (connected) fprintf(out, "connected %lu", (unsigned long)read);
  else fprintf(out, "none");
  fclose(out);
  return 0;
}
