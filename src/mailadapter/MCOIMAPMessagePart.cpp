#include "mailadapter/MCOIMAPMessagePart.h"

MCOIMAPMessagePart::MCOIMAPMessagePart() = default;
