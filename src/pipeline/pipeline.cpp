#include "pipeline/pipeline.hpp"
