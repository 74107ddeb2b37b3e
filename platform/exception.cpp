#include "platform/exception.h"
