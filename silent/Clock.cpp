#include "Clock.h"

namespace tidewell {

void Clock::Form_Load() {
  DoAtomicTime();  // the outcome is not passed on: success and failure end alike
  runtime_.EndProgram();
}

}  // namespace tidewell
