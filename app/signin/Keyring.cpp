#include "app/signin/Keyring.h"
