#include "eclat/eclat.hpp"
