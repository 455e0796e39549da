import pytest

from _vemopq import VemoPriority, VemoPriorityQueue


def test_equal_priorities_leave_in_insertion_order_and_lower_values_first():
    queue = VemoPriorityQueue()
    for item in ["a", "b", "c"]:
        queue.add(item, int(VemoPriority.Standard))
    queue.add("urgent", int(VemoPriority.Error))
    assert len(queue) == 4 and queue.peek() == "urgent"
    assert [queue.pop() for _ in range(4)] == ["urgent", "a", "b", "c"]


def test_empty_queue_peeks_none_and_refuses_pop():
    queue = VemoPriorityQueue()
    assert queue.peek() is None
    with pytest.raises(IndexError):
        queue.pop()


def test_priority_values_convert_to_int_and_compare_with_themselves():
    assert isinstance(int(VemoPriority.Standard), int)
    assert VemoPriority.Error == VemoPriority.Error != VemoPriority.Standard
