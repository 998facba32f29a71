#include "common/tidlist.hpp"
