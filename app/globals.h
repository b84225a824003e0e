// The process-wide values the window's methods share: the codes of the current run and the
// two record-store handles on the ap file with their length variable.
#pragma once

#include <cstdint>
#include <string>

class TForm1;

// The one main window while the program's event loop runs; null otherwise.
extern TForm1* Form1;

// Source and destination agency codes of the current run (8-bit text). Set only when a
// run starts.
extern std::string sFromAgy;
extern std::string sToAgy;

// Record-store handles on the ap file: reads go through ApRead, inserts through ApWrite.
// 0 while no pair has been allocated (or after the pair was closed).
extern int32_t ApRead;
extern int32_t ApWrite;

// The record length passed by reference to every record operation.
extern uint32_t ApSize;
