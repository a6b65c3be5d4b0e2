#include "mailadapter/MCOIMAPMultipart.h"

MCOIMAPMultipart::MCOIMAPMultipart() = default;
