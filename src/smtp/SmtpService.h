// SmtpService.h - plugs mail reception into the core: registers the factory through which
// RunServer creates the SMTP listener when a topics folder exists.
#pragma once

void RegisterSmtpService();
