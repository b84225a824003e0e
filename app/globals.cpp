// Storage of the process-wide values; zero or empty at start.
#include "app/globals.h"

TForm1* Form1 = nullptr;
std::string sFromAgy;
std::string sToAgy;
int32_t ApRead = 0;
int32_t ApWrite = 0;
uint32_t ApSize = 0;
