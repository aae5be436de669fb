// The installer's one application object.
#include "app/update_app.h"

CUpdateApp theApp;
