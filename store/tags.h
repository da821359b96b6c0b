#ifndef TAGS_H
#define TAGS_H

// Placeholder of the tag store; the measurement store fills it in.
class Tags
{
public:
    Tags();

    bool dataReady = false;
    int delayWindow = 1;
    int tagNum = 0;
    int anchorTotal = 0;
};

#endif // TAGS_H
