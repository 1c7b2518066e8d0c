// Fleet client constants shared by the core and the shell.
#pragma once

// The fleet server used when config.ini has no server_url key at all.
#define TG_DEFAULT_SERVER_URL "https://fleet.tallowguard.example"
