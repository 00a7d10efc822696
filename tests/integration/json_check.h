// Checks JSON answers with an independent strict parser (python3's json module).
#pragma once

#include <string>

#include "harness.h"

namespace qt {

// Parses text as JSON with python3 and prints the Python expression expr over it (the document is
// `d`); returns the printed text without its final newline, or "<invalid>" when parsing failed.
// With the default expression the result is "ok" for any valid document.
inline std::string json_eval(const std::string &text, const std::string &expr = "'ok'") {
  TempDir dir;
  std::string file = dir / "doc.json";
  std::string script = dir / "eval.py";
  write_file(file, text);
  write_file(script,
             "import json, sys\n"
             "raw = open(sys.argv[1], 'rb').read()\n"
             "try:\n"
             "    d = json.loads(raw.decode('utf-8', errors='strict'))\n"
             "except Exception:\n"
             "    print('<invalid>')\n"
             "    sys.exit(0)\n"
             "print(" + expr + ")\n");
  // Debian's own interpreter when present: it starts without the version-manager shims.
  std::string python = file_exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
  std::string out;
  int rc = run_command(python + " " + script + " " + file, &out);
  if (rc != 0) return "<python failed>";
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

}  // namespace qt
