#pragma once
// The camera's parsed device description: nodes by name with their properties.

namespace tavi {

class NodeMap {};

}  // namespace tavi
