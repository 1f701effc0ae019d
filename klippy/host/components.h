// Host components whose state the modules read: saved variables, print statistics,
// idle timeout and G-code macros.
#pragma once

#include <map>
#include <string>

#include "klippy/host/object.h"
#include "klippy/host/value.h"

namespace klippy {

using VariableMap = std::map<std::string, Value>;

class SaveVariables : public PrinterObject {
 public:
  virtual const std::string& filename() const = 0;
  virtual const VariableMap& all_variables() const = 0;
  // Re-reads the file into all_variables(); CommandError when it does not parse.
  virtual void load_variables() = 0;
  // A module has just replaced the file with `variables`, every one written so that it
  // reads back the same. A host that keeps its copy in memory takes them as they are; one
  // that cannot be handed them reads the file again.
  virtual void file_written(VariableMap&& variables) {
    (void)variables;
    load_variables();
  }
};

class PrintStats : public PrinterObject {
 public:
  // "standby", "printing", "paused", "complete", "cancelled" or "error".
  virtual std::string state() const = 0;
};

class IdleTimeout : public PrinterObject {};

class GCodeMacro : public PrinterObject {
 public:
  virtual const std::map<std::string, Value>& variables() const = 0;
};

}  // namespace klippy
