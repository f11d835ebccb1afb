// What the person in front of the launcher sees when nothing could start: one
// message box per start, saying in plain words what failed first and where
// the diagnostic log lies. The log lines stay as they are; the box is only
// their summary for someone who never reads a log.
#pragma once

namespace launcher {

enum class Failure {
  notLocated,               // the launcher found no folder of its own
  configurationMissing,     // subject: the configuration file
  configurationUnreadable,  // subject: the configuration file
  configurationInvalid,     // subject: the configuration file, number: the line
  noJar,                    // subject: the configuration file
  settingMissing,           // subject: the key (exec, data_dir)
  jarMissing,               // subject: the jar
  javaMissing,              // subject: the program exec names
  outputLog,                // subject: the output log that could not be created
  dataFolder,               // subject: data_dir
  startRefused,             // subject: the program, number: the system's error code
};

// Keeps the first failure of this start; later ones are its consequences.
void noteFailure(Failure what, const wchar_t *subject, int number = 0);

// Shows the box for the first failure noted (a start that failed without a
// noted reason is reported as a failed start of Java) and waits until the
// person has closed it.
void showFailure();

// Forgets the failure noted, as a new start would.
void forgetFailure();

}  // namespace launcher
