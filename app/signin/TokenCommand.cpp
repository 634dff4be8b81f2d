#include "app/signin/TokenCommand.h"
