// The manifest action interface: every action of a manifest line implements it.
// Strings that an action keeps point into the manifest text, which the run
// keeps alive until every action has been destroyed.
#pragma once

class ManifestAction {
 public:
  ManifestAction* next = nullptr;  // the following action in its ActionChain

  virtual ~ManifestAction() = default;
  // Takes the arguments from `args`, the rest of the line after the keyword
  // (may be null). OK or ERR_SYNTAX.
  virtual int ParseLine(char* args) = 0;
  // Checks and stages; changes no installed file.
  virtual int Prepare() = 0;
  // Changes installed files, after making backups.
  virtual int Execute() = 0;
  // Restores (status != 0) or discards (status 0) backups; result ignored.
  virtual int Finish(int status) = 0;
};
