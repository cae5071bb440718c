#include "adapter/installed_versions.h"
