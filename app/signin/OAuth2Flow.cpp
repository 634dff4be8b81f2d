#include "app/signin/OAuth2Flow.h"
