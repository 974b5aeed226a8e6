"""What the Python tests share, one module a concern:

  build          the build under test: its paths (CTest's variables, else
                 build/default) and how to start its programs
  sandbox        a sandbox-run ROOT and the Result of a run in it
  logger         the host logger's lines read back, host-slogger as a process
  wire           the logger's messages and records, device request frames
  kestrune_media kestrune's paths and log lines, a sandbox with its media
  loads          threads and forks logging at once: sizes and the log's check
  trace          system-call traces with strace

A test file imports them as `from harness import sandbox`; it finds the
package through the two lines at its top that put tests/ on the path.
"""
