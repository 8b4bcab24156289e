"""A custom domain written in Python: a robot arm with a speed and a torque channel.

Shows certified, warned, escalated and blocked moves.
"""

from typing import Self

from ruvo_safety import (ConstraintChannel, DomainAdapter, SafetyCertifier, SimpleAction,
                         StateDelta)

SPEED, TORQUE = 0, 1


class LimitChannel(ConstraintChannel):
    """Margin of one state position against its limit."""

    # Declared here because type checkers do not see attributes first set in __new__.
    channel_name: str
    position: int
    limit: float

    # The base constructor takes no arguments, so a channel built with arguments
    # defines its own __new__.
    def __new__(cls, name: str, position: int, limit: float) -> Self:
        self = super().__new__(cls)
        self.channel_name, self.position, self.limit = name, position, limit
        return self

    def name(self) -> str:
        return self.channel_name

    def evaluate(self, state: list[float]) -> float:
        return 1.0 - state[self.position] / self.limit

    def dimension_names(self) -> list[str]:
        return [self.channel_name]


class RobotArm(DomainAdapter):
    max_speed: float
    max_torque: float
    current: dict[str, float]

    def __new__(cls, max_speed: float, max_torque: float) -> Self:
        self = super().__new__(cls)
        self.max_speed, self.max_torque = max_speed, max_torque
        self.current = {"speed": 0.0, "torque": 0.0}
        return self

    def domain_name(self) -> str:
        return "robot_arm"

    def constraint_channels(self) -> list[LimitChannel]:
        return [LimitChannel("speed", SPEED, self.max_speed),
                LimitChannel("torque", TORQUE, self.max_torque)]

    def map_action_to_state(self, action: SimpleAction) -> list[float]:
        state = dict(self.current)
        for delta in action.state_deltas:
            state[delta.dimension] = delta.to_value
        return [state["speed"], state["torque"]]

    def detect_regime_change(self, current: list[float], proposed: list[float]) -> bool:
        # Reversing direction (a negative speed) is a new regime for the controller.
        return proposed[SPEED] < 0.0


def move(move_id: str, speed: float, torque: float) -> SimpleAction:
    return SimpleAction(move_id, "arm-controller", [
        StateDelta("speed", 0.0, speed),
        StateDelta("torque", 0.0, torque),
    ])


def main() -> None:
    certifier = SafetyCertifier(RobotArm(max_speed=2.0, max_torque=40.0))
    for action in [
        move("slow-reach", 0.4, 8.0),
        move("fast-reach", 1.1, 14.0),
        move("heavy-lift", 0.6, 36.0),
        move("reverse", -0.3, 5.0),
        move("overload", 1.0, 45.0),
    ]:
        cert = certifier.certify(action)
        print(f"{action.action_id:>10}: {cert.zone:<7} {cert.decision}")
        print(f"{'':>10}  margins {cert.margins}, binding {cert.binding_constraint}")


if __name__ == "__main__":
    main()
