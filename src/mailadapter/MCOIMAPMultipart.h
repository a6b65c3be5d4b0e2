#pragma once
// A multipart node of an IMAP message's body structure.

#include "mailadapter/MCOMultipart.h"

class MCOIMAPMultipart : public MCOMultipart {
public:
    MCOIMAPMultipart();
};
