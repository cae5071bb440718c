#include "engine/engine.h"

int eval_and_prg(std::span<AdapterRecord>, uint8_t) { return 0; }
