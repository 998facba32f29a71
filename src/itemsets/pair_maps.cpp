#include "itemsets/pair_maps.hpp"
