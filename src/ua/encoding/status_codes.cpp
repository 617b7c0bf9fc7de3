// SPDX-License-Identifier: MPL-2.0
#include "ua/encoding/status_codes.h"

#include <algorithm>
#include <array>

#include "platform/strings.h"

namespace varo::ua {
namespace {

// Sorted by code; the comment names the symbol of each code.
constexpr StatusCodeEntry kStatusCodes[] = {
    {0x002D0000u, "The subscription was transferred to another session."},   // GoodSubscriptionTransferred
    {0x002E0000u, "The processing will complete asynchronously."},           // GoodCompletesAsynchronously
    {0x002F0000u, "Sampling has slowed down due to resource limitations."},  // GoodOverload
    {0x00300000u, "The value written was accepted but was clamped."},        // GoodClamped
    {0x00960000u, "The value has been overridden."},                         // GoodLocalOverride
    {0x00A20000u,
     "The data or event was successfully inserted into the historical database."},  // GoodEntryInserted
    {0x00A30000u,
     "The data or event field was successfully replaced in the historical database."},  // GoodEntryReplaced
    {0x00A50000u, "No data exists for the requested time range or event filter."},      // GoodNoData
    {0x00A60000u,
     "More data is available in the time range beyond the number of values requested."},  // GoodMoreData
    {0x00A70000u, "The communication layer has raised an event."},                 // GoodCommunicationEvent
    {0x00A80000u, "The system is shutting down."},                                 // GoodShutdownEvent
    {0x00A90000u, "The operation is not finished and needs to be called again."},  // GoodCallAgain
    {0x00AA0000u, "A non-critical timeout occurred."},                             // GoodNonCriticalTimeout
    {0x00BA0000u,
     "The server should have followed a reference to a node in a remote server but did not. The result set "
     "may be incomplete."},  // GoodResultsMayBeIncomplete
    {0x00D90000u,
     "The request specifies fields which are not valid for the EventType or cannot be saved by the "
     "historian."},  // GoodDataIgnored
    {0x00DC0000u,
     "The value does not come from the real source and has been edited by the server."},  // GoodEdited
    {0x00DD0000u, "There was an error in execution of these post-actions."},  // GoodPostActionFailed
    {0x00E00000u,
     "A dependent value has been changed but the change has not been applied to the device."},  // GoodDependentValueChanged
    {0x406C0000u,
     "One of the references to follow in the relative path references to a node in the address space in "
     "another server."},  // UncertainReferenceOutOfServer
    {0x408F0000u,
     "Communication to the data source has failed. The variable value is the last value that had a good "
     "quality."},  // UncertainNoCommunicationLastUsableValue
    {0x40900000u, "Whatever was updating this value has stopped doing so."},  // UncertainLastUsableValue
    {0x40910000u,
     "The value is an operational value that was manually overwritten."},  // UncertainSubstituteValue
    {
        0x40920000u,
        "The value is an initial value for a variable that normally receives its value from another "
        "variable."},                                            // UncertainInitialValue
    {0x40930000u, "The value is at one of the sensor limits."},  // UncertainSensorNotAccurate
    {0x40940000u,
     "The value is outside of the range of values defined for this parameter."},  // UncertainEngineeringUnitsExceeded
    {0x40950000u,
     "The data value is derived from multiple sources and has less than the required number of Good "
     "sources."},  // UncertainSubNormal
    {0x40A40000u,
     "The aggregate value is derived from multiple values and has less than the required number of Good "
     "values."},  // UncertainDataSubNormal
    {0x40BC0000u,
     "The server was not able to delete all target references."},  // UncertainReferenceNotDeleted
    {0x40C00000u,
     "The list of references may not be complete because the underlying system is not available."},  // UncertainNotAllNodesAvailable
    {0x40DE0000u,
     "The related EngineeringUnit has been changed but the Variable Value is still provided based on the "
     "previous unit."},  // UncertainDominantValueChanged
    {0x40E20000u,
     "A dependent value has been changed but the change has not been applied to the device. The quality of "
     "the dominant variable is uncertain."},         // UncertainDependentValueChanged
    {0x80010000u, "An unexpected error occurred."},  // BadUnexpectedError
    {0x80020000u,
     "An internal error occurred as a result of a programming or configuration error."},  // BadInternalError
    {0x80030000u, "Not enough memory to complete the operation."},                        // BadOutOfMemory
    {0x80040000u, "An operating system resource is not available."},  // BadResourceUnavailable
    {0x80050000u, "A low level communication error occurred."},       // BadCommunicationError
    {0x80060000u,
     "Encoding halted because of invalid data in the objects being serialized."},  // BadEncodingError
    {0x80070000u, "Decoding halted because of invalid data in the stream."},       // BadDecodingError
    {0x80080000u,
     "The message encoding/decoding limits imposed by the stack have been exceeded."},  // BadEncodingLimitsExceeded
    {0x80090000u, "An unrecognized response was received from the server."},            // BadUnknownResponse
    {0x800A0000u, "The operation timed out."},                                          // BadTimeout
    {0x800B0000u, "The server does not support the requested service."},  // BadServiceUnsupported
    {0x800C0000u, "The operation was cancelled because the application is shutting down."},  // BadShutdown
    {0x800D0000u,
     "The operation could not complete because the client is not connected to the server."},  // BadServerNotConnected
    {0x800E0000u, "The server has stopped and cannot process any requests."},       // BadServerHalted
    {0x800F0000u, "No processing could be done because there was nothing to do."},  // BadNothingToDo
    {0x80100000u,
     "The request could not be processed because it specified too many operations."},  // BadTooManyOperations
    {0x80110000u, "The extension object cannot be (de)serialized because the data type id is not "
                  "recognized."},                                       // BadDataTypeIdUnknown
    {0x80130000u, "An error occurred verifying security."},             // BadSecurityChecksFailed
    {0x80140000u, "The certificate has expired or is not yet valid."},  // BadCertificateTimeInvalid
    {0x80150000u,
     "An issuer certificate has expired or is not yet valid."},  // BadCertificateIssuerTimeInvalid
    {
        0x80160000u, "The HostName used to connect to a server does not match a HostName in the "
                     "certificate."},  // BadCertificateHostNameInvalid
    {0x80170000u,
     "The URI specified in the ApplicationDescription does not match the URI in the certificate."},  // BadCertificateUriInvalid
    {0x80180000u,
     "The certificate may not be used for the requested operation."},  // BadCertificateUseNotAllowed
    {0x80190000u,
     "The issuer certificate may not be used for the requested operation."},  // BadCertificateIssuerUseNotAllowed
    {0x801A0000u, "The certificate is not trusted."},                         // BadCertificateUntrusted
    {0x801B0000u,
     "It was not possible to determine if the certificate has been revoked."},  // BadCertificateRevocationUnknown
    {0x801C0000u,
     "It was not possible to determine if the issuer certificate has been revoked."},  // BadCertificateIssuerRevocationUnknown
    {0x801D0000u, "The certificate has been revoked."},         // BadCertificateRevoked
    {0x801E0000u, "The issuer certificate has been revoked."},  // BadCertificateIssuerRevoked
    {0x801F0000u,
     "User does not have permission to perform the requested operation."},  // BadUserAccessDenied
    {0x80200000u, "The user identity token is not valid."},                 // BadIdentityTokenInvalid
    {0x80210000u,
     "The user identity token is valid but the server has rejected it."},        // BadIdentityTokenRejected
    {0x80220000u, "The specified secure channel is no longer valid."},           // BadSecureChannelIdInvalid
    {0x80230000u, "The timestamp is outside the range allowed by the server."},  // BadInvalidTimestamp
    {0x80240000u,
     "The nonce does appear to be not a random value or it is not the correct length."},  // BadNonceInvalid
    {0x80250000u, "The session id is not valid."},           // BadSessionIdInvalid
    {0x80260000u, "The session was closed by the client."},  // BadSessionClosed
    {0x80270000u,
     "The session cannot be used because ActivateSession has not been called."},  // BadSessionNotActivated
    {0x80280000u, "The subscription id is not valid."},                           // BadSubscriptionIdInvalid
    {0x802A0000u, "The header for the request is missing or invalid."},           // BadRequestHeaderInvalid
    {0x802B0000u, "The timestamps to return parameter is invalid."},  // BadTimestampsToReturnInvalid
    {0x802C0000u, "The request was cancelled by the client."},        // BadRequestCancelledByClient
    {0x80310000u,
     "Communication with the data source is defined, but not established, and there is no last known value "
     "available."},  // BadNoCommunication
    {0x80320000u,
     "Waiting for the server to obtain values from the underlying data source."},  // BadWaitingForInitialData
    {0x80330000u,
     "The syntax the node id is not valid or refers to a node that is not valid for the operation."},  // BadNodeIdInvalid
    {0x80340000u,
     "The node id refers to a node that does not exist in the server address space."},  // BadNodeIdUnknown
    {0x80350000u, "The attribute is not supported for the specified Node."},  // BadAttributeIdInvalid
    {0x80360000u, "The syntax of the index range parameter is invalid."},     // BadIndexRangeInvalid
    {0x80370000u, "No data exists within the range of indexes specified."},   // BadIndexRangeNoData
    {0x80380000u, "The data encoding is invalid."},                           // BadDataEncodingInvalid
    {0x80390000u,
     "The server does not support the requested data encoding for the node."},  // BadDataEncodingUnsupported
    {0x803A0000u, "The access level does not allow reading or subscribing to the Node."},  // BadNotReadable
    {0x803B0000u, "The access level does not allow writing to the Node."},                 // BadNotWritable
    {0x803C0000u, "The value was out of range."},                                          // BadOutOfRange
    {0x803D0000u, "The requested operation is not supported."},                            // BadNotSupported
    {0x803E0000u,
     "A requested item was not found or a search operation ended without success."},  // BadNotFound
    {0x803F0000u, "The object cannot be used because it has been deleted."},          // BadObjectDeleted
    {0x80400000u, "Requested operation is not implemented."},                         // BadNotImplemented
    {0x80410000u, "The monitoring mode is invalid."},  // BadMonitoringModeInvalid
    {0x80420000u,
     "The monitoring item id does not refer to a valid monitored item."},  // BadMonitoredItemIdInvalid
    {0x80430000u, "The monitored item filter parameter is not valid."},    // BadMonitoredItemFilterInvalid
    {0x80440000u,
     "The server does not support the requested monitored item filter."},  // BadMonitoredItemFilterUnsupported
    {0x80450000u,
     "A monitoring filter cannot be used in combination with the attribute specified."},  // BadFilterNotAllowed
    {0x80460000u, "A mandatory structured parameter was missing or null."},  // BadStructureMissing
    {0x80470000u, "The event filter is not valid."},                         // BadEventFilterInvalid
    {0x80480000u, "The content filter is not valid."},                       // BadContentFilterInvalid
    {0x80490000u, "The operand used in a content filter is not valid."},     // BadFilterOperandInvalid
    {0x804A0000u, "The continuation point provide is longer valid."},        // BadContinuationPointInvalid
    {0x804B0000u, "The operation could not be processed because all continuation points have been "
                  "allocated."},  // BadNoContinuationPoints
    {0x804C0000u,
     "The reference type id does not refer to a valid reference type node."},   // BadReferenceTypeIdInvalid
    {0x804D0000u, "The browse direction is not valid."},                        // BadBrowseDirectionInvalid
    {0x804E0000u, "The node is not part of the view."},                         // BadNodeNotInView
    {0x804F0000u, "The ServerUri is not a valid URI."},                         // BadServerUriInvalid
    {0x80500000u, "No ServerName was specified."},                              // BadServerNameMissing
    {0x80510000u, "No DiscoveryUrl was specified."},                            // BadDiscoveryUrlMissing
    {0x80520000u, "The semaphore file specified by the client is not valid."},  // BadSemaphoreFileMissing
    {0x80530000u, "The security token request type is not valid."},             // BadRequestTypeInvalid
    {0x80540000u,
     "The security mode does not meet the requirements set by the server."},  // BadSecurityModeRejected
    {0x80550000u,
     "The security policy does not meet the requirements set by the server."},  // BadSecurityPolicyRejected
    {0x80560000u, "The server has reached its maximum number of sessions."},    // BadTooManySessions
    {0x80570000u, "The user token signature is missing or invalid."},           // BadUserSignatureInvalid
    {0x80580000u,
     "The signature generated with the client certificate is missing or invalid."},  // BadApplicationSignatureInvalid
    {0x80590000u,
     "The client did not provide at least one software certificate that is valid and meets the profile "
     "requirements for the server."},  // BadNoValidCertificates
    {0x805A0000u,
     "The request was cancelled by the client with the Cancel service."},    // BadRequestCancelledByRequest
    {0x805B0000u, "The parent node id does not to refer to a valid node."},  // BadParentNodeIdInvalid
    {0x805C0000u,
     "The reference could not be created because it violates constraints imposed by the data model."},  // BadReferenceNotAllowed
    {0x805D0000u,
     "The requested node id was reject because it was either invalid or server does not allow node ids to be "
     "specified by the client."},                                             // BadNodeIdRejected
    {0x805E0000u, "The requested node id is already used by another node."},  // BadNodeIdExists
    {0x805F0000u, "The node class is not valid."},                            // BadNodeClassInvalid
    {0x80600000u, "The browse name is invalid."},                             // BadBrowseNameInvalid
    {0x80610000u,
     "The browse name is not unique among nodes that share the same relationship with the parent."},  // BadBrowseNameDuplicated
    {0x80620000u, "The node attributes are not valid for the node class."},  // BadNodeAttributesInvalid
    {0x80630000u,
     "The type definition node id does not reference an appropriate type node."},  // BadTypeDefinitionInvalid
    {0x80640000u, "The source node id does not reference a valid node."},          // BadSourceNodeIdInvalid
    {0x80650000u, "The target node id does not reference a valid node."},          // BadTargetNodeIdInvalid
    {0x80660000u,
     "The reference type between the nodes is already defined."},  // BadDuplicateReferenceNotAllowed
    {0x80670000u,
     "The server does not allow this type of self reference on this node."},  // BadInvalidSelfReference
    {0x80680000u,
     "The reference type is not valid for a reference to a remote server."},   // BadReferenceLocalOnly
    {0x80690000u, "The server will not allow the node to be deleted."},        // BadNoDeleteRights
    {0x806A0000u, "The server index is not valid."},                           // BadServerIndexInvalid
    {0x806B0000u, "The view id does not refer to a valid view node."},         // BadViewIdUnknown
    {0x806D0000u, "The requested operation has too many matches to return."},  // BadTooManyMatches
    {0x806E0000u,
     "The requested operation requires too many resources in the server."},  // BadQueryTooComplex
    {0x806F0000u, "The requested operation has no match to return."},        // BadNoMatch
    {0x80700000u, "The max age parameter is invalid."},                      // BadMaxAgeInvalid
    {0x80710000u, "The history details parameter is not valid."},            // BadHistoryOperationInvalid
    {0x80720000u, "The server does not support the requested operation."},   // BadHistoryOperationUnsupported
    {0x80730000u,
     "The server does not support writing the combination of value, status and timestamps provided."},  // BadWriteNotSupported
    {
        0x80740000u, "The value supplied for the attribute is not of the same type as the attribute's "
                     "value."},                                                           // BadTypeMismatch
    {0x80750000u, "The method id does not refer to a method for the specified object."},  // BadMethodInvalid
    {0x80760000u,
     "The client did not specify all of the input arguments for the method."},     // BadArgumentsMissing
    {0x80770000u, "The server has reached its maximum number of subscriptions."},  // BadTooManySubscriptions
    {0x80780000u,
     "The server has reached the maximum number of queued publish requests."},    // BadTooManyPublishRequests
    {0x80790000u, "There is no subscription available for this session."},        // BadNoSubscription
    {0x807A0000u, "The sequence number is unknown to the server."},               // BadSequenceNumberUnknown
    {0x807B0000u, "The requested notification message is no longer available."},  // BadMessageNotAvailable
    {0x807C0000u,
     "The client of the current session does not support one or more Profiles that are necessary for the "
     "subscription."},  // BadInsufficientClientProfile
    {0x807D0000u, "The server cannot process the request because it is too busy."},  // BadTcpServerTooBusy
    {0x807E0000u, "The type of the message specified in the header invalid."},  // BadTcpMessageTypeInvalid
    {0x807F0000u,
     "The SecureChannelId and/or TokenId are not currently in use."},  // BadTcpSecureChannelUnknown
    {0x80800000u,
     "The size of the message chunk specified in the header is too large."},    // BadTcpMessageTooLarge
    {0x80810000u, "There are not enough resources to process the request."},    // BadTcpNotEnoughResources
    {0x80820000u, "An internal error occurred."},                               // BadTcpInternalError
    {0x80830000u, "The server does not recognize the QueryString specified."},  // BadTcpEndpointUrlInvalid
    {0x80840000u,
     "The request could not be sent because of a network interruption."},  // BadRequestInterrupted
    {0x80850000u, "Timeout occurred while processing the request."},       // BadRequestTimeout
    {0x80860000u, "The secure channel has been closed."},                  // BadSecureChannelClosed
    {0x80870000u, "The token has expired or is not recognized."},          // BadSecureChannelTokenUnknown
    {0x80880000u, "The sequence number is not valid."},                    // BadSequenceNumberInvalid
    {0x80890000u,
     "There is a problem with the configuration that affects the usefulness of the value."},  // BadConfigurationError
    {
        0x808A0000u,
        "The variable should receive its value from another variable, but has never been configured to do "
        "so."},  // BadNotConnected
    {0x808B0000u,
     "There has been a failure in the device/data source that generates the value that has affected the "
     "value."},  // BadDeviceFailure
    {0x808C0000u,
     "There has been a failure in the sensor from which the value is derived by the device/data source."},  // BadSensorFailure
    {0x808D0000u, "The source of the data is not operational."},  // BadOutOfService
    {0x808E0000u, "The deadband filter is not valid."},           // BadDeadbandFilterInvalid
    {0x80970000u,
     "This Condition refresh failed, a Condition refresh operation is already in progress."},  // BadRefreshInProgress
    {0x80980000u, "This condition has already been disabled."},            // BadConditionAlreadyDisabled
    {0x80990000u, "Property not available, this condition is disabled."},  // BadConditionDisabled
    {0x809A0000u, "The specified event id is not recognized."},            // BadEventIdUnknown
    {0x809B0000u, "No data exists for the requested time range or event filter."},  // BadNoData
    {0x809D0000u, "Data is missing due to collection started/stopped/lost."},       // BadDataLost
    {0x809E0000u,
     "Expected data is unavailable for the requested time range due to an un-mounted volume, an off-line "
     "archive or tape, or similar reason for temporary unavailability."},  // BadDataUnavailable
    {0x809F0000u,
     "The data or event was not successfully inserted because a matching entry exists."},  // BadEntryExists
    {0x80A00000u,
     "The data or event was not successfully updated because no matching entry exists."},  // BadNoEntryExists
    {0x80A10000u,
     "The Client requested history using a TimestampsToReturn the Server does not support."},  // BadTimestampNotSupported
    {0x80AB0000u, "One or more arguments are invalid."},                          // BadInvalidArgument
    {0x80AC0000u, "Could not establish a network connection to remote server."},  // BadConnectionRejected
    {0x80AD0000u, "The server has disconnected from the client."},                // BadDisconnect
    {0x80AE0000u, "The network connection has been closed."},                     // BadConnectionClosed
    {0x80AF0000u,
     "The operation cannot be completed because the object is closed, uninitialized or in some other invalid "
     "state."},                                              // BadInvalidState
    {0x80B00000u, "Cannot move beyond end of the stream."},  // BadEndOfStream
    {0x80B10000u,
     "No data is currently available for reading from a non-blocking stream."},  // BadNoDataAvailable
    {0x80B20000u, "The asynchronous operation is waiting for a response."},      // BadWaitingForResponse
    {0x80B30000u, "The asynchronous operation was abandoned by the caller."},    // BadOperationAbandoned
    {0x80B40000u,
     "The stream did not return all data requested (possibly because it is a non-blocking stream)."},  // BadExpectedStreamToBlock
    {0x80B50000u, "Non blocking behaviour is required and the operation would block."},  // BadWouldBlock
    {0x80B60000u, "A value had an invalid syntax."},                                     // BadSyntaxError
    {0x80B70000u,
     "The operation could not be finished because all available connections are in use."},  // BadMaxConnectionsReached
    {0x80B80000u, "The request message size exceeds limits set by the server."},  // BadRequestTooLarge
    {0x80B90000u,
     "The response message size exceeds limits set by the client or server."},  // BadResponseTooLarge
    {0x80BB0000u, "The event cannot be acknowledged."},                         // BadEventNotAcknowledgeable
    {0x80BD0000u, "The defined timestamp to return was invalid."},              // BadInvalidTimestampArgument
    {0x80BE0000u,
     "The applications do not have compatible protocol versions."},       // BadProtocolVersionUnsupported
    {0x80BF0000u, "The sub-state machine is not currently active."},      // BadStateNotActive
    {0x80C10000u, "An unrecognized operator was provided in a filter."},  // BadFilterOperatorInvalid
    {0x80C20000u,
     "A valid operator was provided, but the server does not provide support for this filter operator."},  // BadFilterOperatorUnsupported
    {0x80C30000u,
     "The number of operands provided for the filter operator was less then expected for the operand "
     "provided."},  // BadFilterOperandCountMismatch
    {0x80C40000u,
     "The referenced element is not a valid element in the content filter."},  // BadFilterElementInvalid
    {0x80C50000u, "The referenced literal is not a valid value."},             // BadFilterLiteralInvalid
    {0x80C60000u,
     "The server does not support changing the user identity assigned to the session."},  // BadIdentityChangeNotSupported
    {0x80C80000u, "The provided Nodeid was not a type definition nodeid."},    // BadNotTypeDefinition
    {0x80C90000u, "The view timestamp is not available or not supported."},    // BadViewTimestampInvalid
    {0x80CA0000u, "The view parameters are not consistent with each other."},  // BadViewParameterMismatch
    {0x80CB0000u, "The view version is not available or not supported."},      // BadViewVersionInvalid
    {0x80CC0000u, "This condition has already been enabled."},                 // BadConditionAlreadyEnabled
    {0x80CD0000u, "The dialog condition is not active."},                      // BadDialogNotActive
    {0x80CE0000u, "The response is not valid for the dialog."},                // BadDialogResponseInvalid
    {0x80CF0000u, "The condition branch has already been acknowledged."},  // BadConditionBranchAlreadyAcked
    {0x80D00000u, "The condition branch has already been confirmed."},   // BadConditionBranchAlreadyConfirmed
    {0x80D10000u, "The condition has already been shelved."},            // BadConditionAlreadyShelved
    {0x80D20000u, "The condition is not currently shelved."},            // BadConditionNotShelved
    {0x80D30000u, "The shelving time not within an acceptable range."},  // BadShelvingTimeOutOfRange
    {0x80D40000u,
     "The requested number of Aggregates does not match the requested number of NodeIds."},  // BadAggregateListMismatch
    {0x80D50000u, "The requested Aggregate is not support by the server."},  // BadAggregateNotSupported
    {0x80D60000u,
     "The aggregate value could not be derived due to invalid data inputs."},  // BadAggregateInvalidInputs
    {0x80D70000u, "No data found to provide upper or lower bound value."},     // BadBoundNotFound
    {0x80D80000u, "The server cannot retrieve a bound for the variable."},     // BadBoundNotSupported
    {0x80DA0000u,
     "The aggregate configuration is not valid for specified node."},  // BadAggregateConfigurationRejected
    {0x80DB0000u,
     "The request could not be processed because there are too many monitored items in the subscription."},  // BadTooManyMonitoredItems
    {0x80E10000u,
     "The related EngineeringUnit has been changed but this change has not been applied to the device. The "
     "Variable Value is still dependent on the previous unit but its status is currently Bad."},  // BadDominantValueChanged
    {0x80E30000u,
     "A dependent value has been changed but the change has not been applied to the device. The quality of "
     "the dominant variable is Bad."},  // BadDependentValueChanged
    {0x80E40000u,
     "The request was rejected by the server because it did not meet the criteria set by the server."},  // BadRequestNotAllowed
    {0x80E50000u, "Too many arguments were provided."},  // BadTooManyArguments
    {0x80E60000u,
     "The operation is not permitted over the current secure channel."},  // BadSecurityModeInsufficient
    {0x810D0000u, "The certificate chain is incomplete."},                // BadCertificateChainIncomplete
    {0x810E0000u,
     "The server requires a license to operate in general or to perform a service or operation, but existing "
     "license is expired."},  // BadLicenseExpired
    {0x810F0000u,
     "The server has limits on number of allowed operations / objects, based on installed licenses, and "
     "these limits where exceeded."},  // BadLicenseLimitsExceeded
    {0x81100000u,
     "The server does not have a license which is required to operate in general or to perform a service or "
     "operation."},  // BadLicenseNotAvailable
    {0x81110000u,
     "The executable attribute does not allow the execution of the method."},     // BadNotExecutable
    {0x81120000u, "The number was not accepted because of a numeric overflow."},  // BadNumericOverflow
    {0x81130000u, "The request has not been processed by the server yet."},       // BadRequestNotComplete
    {0x81140000u,
     "The certificate does not meet the requirements of the security policy."},  // BadCertificatePolicyCheckFailed
    {0x81150000u, "An equivalent rule already exists."},                         // BadAlreadyExists
};

constexpr bool IsSorted() {
  for (size_t i = 1; i < std::size(kStatusCodes); ++i) {
    if (kStatusCodes[i - 1].code >= kStatusCodes[i].code) return false;
  }
  return true;
}
static_assert(IsSorted(), "status code table must be sorted and unique");

}  // namespace

std::string Statuscodes::ToString(uint32_t value) {
  auto it = std::lower_bound(std::begin(kStatusCodes), std::end(kStatusCodes), value,
                             [](const StatusCodeEntry& e, uint32_t v) { return e.code < v; });
  if (it != std::end(kStatusCodes) && it->code == value) return it->text;
  return "Unknown error code: " + UIntToStr(value);
}

std::span<const StatusCodeEntry> Statuscodes::Table() {
  return kStatusCodes;
}

}  // namespace varo::ua
