#include "Form1.h"

namespace tidewell {

void Form1::Command1_Click() {
  const std::string message =
      DoAtomicTime() ? kChangedPrefix + m_StrAtomicTime : std::string(kFailedMessage);
  runtime_.ShowMessage(message);
}

}  // namespace tidewell
