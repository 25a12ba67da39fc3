// Temporary until the PNG reader lands: loading is refused with a clear error.
#include "KMPNG.h"

void TKMPNG::LoadFromStream(TStream&) { throw EKMPNG("PNG reading is not available"); }

void TKMPNG::ReadData(TStream&) { throw EKMPNG("PNG reading is not available"); }
