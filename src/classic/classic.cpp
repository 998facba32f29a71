#include "classic/classic.hpp"
