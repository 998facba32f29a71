#include "itemsets/variants.hpp"
