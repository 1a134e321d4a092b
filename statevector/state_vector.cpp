#include "statevector/state_vector.h"

#include <thread>

int hardware_threads = static_cast<int>(std::thread::hardware_concurrency());

int kernel_team_size(int num_qubits) {
    if (num_qubits <= 14) return 1;
    return hardware_threads > 0 ? hardware_threads : 1;
}

BlockShare static_block_partition(int64_t count, int64_t threads, int64_t thread) {
    if (threads <= 0) threads = 1;
    const int64_t q = count / threads, r = count % threads;
    if (thread < r) return {thread * (q + 1), q + 1};
    return {thread * q + r, q};
}

void check_qubit_index(const std::string& gate, int qubit, int num_qubits) {
    if (qubit < 0 || qubit >= num_qubits)
        throw std::runtime_error(gate + ": qubit " + std::to_string(qubit) + " out of range for " +
                                 std::to_string(num_qubits) + " qubit(s)");
}
