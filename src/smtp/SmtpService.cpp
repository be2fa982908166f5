// SmtpService.cpp - placeholder: until the SMTP session lands, no SMTP listener is created.
#include "smtp/SmtpService.h"

void RegisterSmtpService() {}
