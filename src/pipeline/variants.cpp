#include "pipeline/variants.hpp"
