#include "window.h"

void window::RequestZipFinished() { }
